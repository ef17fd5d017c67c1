// Rows by number: what batch results index into.
#pragma once

#include "binding/python.hpp"

namespace vicinor::binding {

PyObject* Geocoder_row_count(PyObject* self, PyObject* unused);
PyObject* Geocoder_columns(PyObject* self, PyObject* unused);
PyObject* Geocoder_row_text(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                            PyObject* kwnames);
PyObject* Geocoder_row_dict(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                            PyObject* kwnames);
PyObject* Geocoder_column(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                          PyObject* kwnames);

inline constexpr const char kRowCountDoc[] =
    "row_count($self)\n--\n\nThe number of rows (places) the geocoder holds.";
inline constexpr const char kColumnsDoc[] =
    "columns($self)\n--\n\n"
    "The column names, as a list of str, in the order of the stored rows' fields.";
inline constexpr const char kRowTextDoc[] =
    "row_text($self, row)\n--\n\n"
    "The stored text of row number `row` (0-based, in table order), as\n"
    "get_nearest_as_string returns it. IndexError for a row outside\n"
    "0..row_count()-1 (-1, the 'farther than max_km' mark, included).";
inline constexpr const char kRowDictDoc[] =
    "row_dict($self, row)\n--\n\n"
    "Row number `row` as a dict from column name to field text, as\n"
    "get_nearest_as_dict returns it. IndexError for a row outside 0..row_count()-1.";
inline constexpr const char kColumnDoc[] =
    "column($self, name)\n--\n\n"
    "Every row's field of the column `name`, as a list of str in row order\n"
    "(of a repeated name, the rightmost column). KeyError for an unknown name.";

}  // namespace vicinor::binding
