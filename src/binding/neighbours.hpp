// The k nearest rows (nearest_rows' k) and rows within a distance
// (rows_within, get_rows_within).
#pragma once

#include <cstddef>

#include "binding/python.hpp"
#include "geocoder/batch.hpp"

namespace vicinor::binding {

struct GeocoderObject;

// None or an integer of at least 1; false with an exception set.
bool convert_neighbour_count(PyObject* object, std::size_t& out);

// The (rows, km) pair of shape (n, k) for a converted, checked query.
PyObject* nearest_k_arrays(PyObject* numpy, GeocoderObject* geocoder, const BatchQuery& query,
                           std::size_t k);

PyObject* Geocoder_rows_within(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                               PyObject* kwnames);
PyObject* Geocoder_get_rows_within(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                   PyObject* kwnames);

inline constexpr const char kRowsWithinDoc[] =
    "rows_within($self, lats, lons, km, *, threads=None, limit=None, start=0, stop=None)\n"
    "--\n\n"
    "Every row within km kilometres (great-circle, as nearest_rows measures) of\n"
    "every point of two equal-length sequences of latitudes and longitudes, nearest\n"
    "first, ties by row number, as three numpy arrays (offsets, rows, km): the rows\n"
    "of point i are rows[offsets[i]:offsets[i + 1]] (int64) at distances\n"
    "km[offsets[i]:offsets[i + 1]] (float64); offsets (int64) has one entry more\n"
    "than there are points. limit keeps at most that many rows per point (the\n"
    "nearest). start and stop answer only the points [start, stop), so results\n"
    "larger than memory can be taken in chunks; offsets then count from 0 for\n"
    "point start. Input checks, threads and GIL release as in nearest_rows.";

inline constexpr const char kGetRowsWithinDoc[] =
    "get_rows_within($self, lat, lon, km, *, limit=None)\n--\n\n"
    "rows_within for one point: a list of (row, km) pairs, nearest first, ties by\n"
    "row number.";

}  // namespace vicinor::binding
