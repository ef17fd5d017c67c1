// Lookups over whole columns, and a single lookup that also says how far
// the answer is.
#pragma once

#include "binding/python.hpp"

#include <cstddef>
#include <functional>

#include "geocoder/batch.hpp"

namespace vicinor::binding {

PyObject* Geocoder_nearest_rows(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                                PyObject* kwnames);
PyObject* Geocoder_get_nearest_with_distance(PyObject* self, PyObject* const* args,
                                             Py_ssize_t nargsf, PyObject* kwnames);

// Reads, converts and checks two coordinate columns as nearest_rows does,
// takes the points [first, last) of them (clamped to their length) and the
// thread count for that many, then calls `body` while the columns are held.
PyObject* with_query_columns(PyObject* numpy, PyObject* lats, PyObject* lons, PyObject* threads,
                             std::size_t first, std::size_t last,
                             const std::function<PyObject*(const BatchQuery&)>& body);

inline constexpr const char kNearestRowsDoc[] =
    "nearest_rows($self, lats, lons, *, max_km=None, threads=None, k=1)\n--\n\n"
    "The nearest row of every point of two equal-length one-dimensional sequences of\n"
    "latitudes and longitudes in degrees, as a pair of numpy arrays (rows, km): each\n"
    "point's row number (int64, 0-based in table order) and its great-circle distance\n"
    "in kilometres (float64, mean Earth radius 6371.0088 km). Where max_km is given\n"
    "and the nearest row is farther, the row is -1 and km still says how far it is.\n"
    "Answers equal those of single lookups, ties included.\n\n"
    "float64 buffers (numpy arrays, memoryviews) are read in place; other sequences\n"
    "are converted once; only real numbers are accepted (bool and integer arrays\n"
    "convert; text, bytes, complex numbers, dates and masked arrays raise\n"
    "TypeError). The search runs without the GIL on `threads` threads, 1 to 1024\n"
    "(default: one for small batches, every core for large ones). A latitude\n"
    "outside [-90, 90], a longitude outside [-360, 360], a non-finite coordinate\n"
    "or sequences of different lengths raise ValueError naming the first bad index.\n\n"
    "With k > 1, rows and km have shape (n, k): the k nearest rows of every point,\n"
    "nearest first. Column 0 is exactly the single lookup's answer; the others\n"
    "follow by distance, then by row number. Where the table has fewer than k\n"
    "rows the row is -1 and km is inf; where a row is farther than max_km the row\n"
    "is -1 and km still says how far it is.";

inline constexpr const char kWithDistanceDoc[] =
    "get_nearest_with_distance($self, lat, lon, max_km=None)\n--\n\n"
    "The nearest row's text and its great-circle distance in kilometres, as a pair\n"
    "(row_text, km); None when max_km is given and the nearest row is farther.\n"
    "lat must lie in [-90, 90] and lon in [-360, 360], else ValueError.";

}  // namespace vicinor::binding
