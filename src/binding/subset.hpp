// ReverseGeocoder.subset: a new geocoder over some rows of this one.
#pragma once

#include "binding/python.hpp"

namespace vicinor::binding {

PyObject* Geocoder_subset(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                          PyObject* kwnames);

inline constexpr const char kSubsetDoc[] =
    "subset($self, rows)\n--\n\n"
    "A new ReverseGeocoder over some of this one's rows: `rows` is either a sequence\n"
    "of strictly ascending row numbers (0-based) or a boolean mask of length\n"
    "row_count(). Row i of the subset is row rows[i] of this geocoder, so a row\n"
    "number r found in the subset maps back as rows[r] (numpy.flatnonzero(mask)[r]\n"
    "for a mask). The result is exactly the geocoder built from a table of those\n"
    "rows in that order, with the same value_sep and drop_coordinates (to_bytes()\n"
    "gives the same bytes), but is made from the rows and points already held,\n"
    "without reading any text again. IndexError for a row outside\n"
    "0..row_count()-1, ValueError for rows out of order or a mask of another length.";

}  // namespace vicinor::binding
