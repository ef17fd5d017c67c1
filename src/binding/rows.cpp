// Rows by number: the count, the column names, one row as text or dict, and
// one column of every row, so that row numbers from nearest_rows become
// table columns without a Python loop.
#include "binding/rows.hpp"

#include <string>
#include <string_view>

#include "binding/arguments.hpp"
#include "binding/boundary.hpp"
#include "binding/errors.hpp"
#include "binding/geocoder_type.hpp"
#include "binding/methods.hpp"
#include "binding/py_ref.hpp"
#include "binding/result_strings.hpp"
#include "geocoder/construction.hpp"
#include "geocoder/lookup.hpp"
#include "geocoder/row_fields.hpp"

namespace vicinor::binding {
namespace {

constexpr const char* kRowNames[] = {"row"};
constexpr ParameterList kRowText = {"ReverseGeocoder.row_text()", kRowNames, 1, 1};
constexpr ParameterList kRowDict = {"ReverseGeocoder.row_dict()", kRowNames, 1, 1};
constexpr const char* kColumnNames[] = {"name"};
constexpr ParameterList kColumn = {"ReverseGeocoder.column()", kColumnNames, 1, 1};

// An integer (numpy's included) naming a stored row. No negative indices:
// -1 marks "no row" in nearest_rows' results and must not reach the last.
bool convert_row(PyObject* object, const ReverseGeocoder& record, std::size_t& out) {
    PyRef index(PyNumber_Index(object));
    if (!index) {
        report_argument_error("row");
        return false;
    }
    const Py_ssize_t value = PyLong_AsSsize_t(index.get());
    if (value == -1 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
        PyErr_Clear();
    } else if (value >= 0 && static_cast<std::size_t>(value) < record.indexed_data.size()) {
        out = static_cast<std::size_t>(value);
        return true;
    }
    raise_message(PyExc_IndexError, "row " + object_text(index.get()) + " is out of range: " +
                                        "the geocoder holds " +
                                        std::to_string(record.indexed_data.size()) + " rows");
    return false;
}

// Binds the one argument, checks the instance and the row, then shapes it.
template <class Shape>
PyObject* run_row(const ParameterList& parameters, PyObject* self, PyObject* const* args,
                  Py_ssize_t nargsf, PyObject* kwnames, Shape shape) {
    return guard_entry([&]() -> PyObject* {
        PyObject* bound[1] = {};
        GeocoderObject* geocoder = begin_method(parameters, self, args, nargsf, kwnames, bound);
        if (geocoder == nullptr) return nullptr;
        std::size_t row = 0;
        if (!convert_row(bound[0], geocoder->record, row)) return nullptr;
        return shape(geocoder, row_text_at(geocoder->record, row));
    });
}

// The rightmost column of that name, as the dict lookups keep it.
bool find_column(const ReverseGeocoder& record, PyObject* name, std::size_t& out) {
    if (!PyUnicode_Check(name)) {
        raise_message(PyExc_TypeError, "argument 'name': expected str, got '" +
                                           type_qualname(Py_TYPE(name)) + "'");
        return false;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
    if (utf8 == nullptr) {
        PyErr_Clear();  // lone surrogates: no column can be named so
    } else {
        const std::string_view wanted(utf8, static_cast<std::size_t>(size));
        for (std::size_t i = record.columns.size(); i-- > 0;) {
            if (record.columns[i] == wanted) {
                out = i;
                return true;
            }
        }
    }
    PyErr_SetObject(PyExc_KeyError, name);
    return false;
}

// Field `index` of one row, read as the dict lookups read it.
Result<std::string_view> field_of(const ReverseGeocoder& record, std::string_view row,
                                  std::size_t index, RowFields& fields) {
    if (Status read = row_fields(record, row, fields); !read) return std::move(read).error();
    if (index < fields.size()) return fields.field(index);
    return Error("a stored row has no field for this column");
}

}  // namespace

PyObject* Geocoder_row_count(PyObject* self, PyObject* /*no arguments*/) {
    return guard_entry([&]() -> PyObject* {
        GeocoderObject* geocoder = as_geocoder(self);
        if (geocoder == nullptr) return nullptr;
        return PyLong_FromSize_t(geocoder->record.indexed_data.size());
    });
}

PyObject* Geocoder_columns(PyObject* self, PyObject* /*no arguments*/) {
    return guard_entry([&]() -> PyObject* {
        GeocoderObject* geocoder = as_geocoder(self);
        if (geocoder == nullptr) return nullptr;
        PyObject* keys = column_keys(geocoder);
        if (keys == nullptr) {
            report_python_api_failure();
            return nullptr;
        }
        return PySequence_List(keys);
    });
}

PyObject* Geocoder_row_text(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                            PyObject* kwnames) {
    return run_row(kRowText, self, args, nargsf, kwnames,
                   [](GeocoderObject*, std::string_view text) -> PyObject* {
        PyObject* str = new_str(text);
        if (str == nullptr) report_python_api_failure();
        return str;
    });
}

PyObject* Geocoder_row_dict(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                            PyObject* kwnames) {
    return run_row(kRowDict, self, args, nargsf, kwnames,
                   [](GeocoderObject* geocoder, std::string_view text) -> PyObject* {
        return row_dict(geocoder, text);
    });
}

PyObject* Geocoder_column(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                          PyObject* kwnames) {
    return guard_entry([&]() -> PyObject* {
        PyObject* bound[1] = {};
        GeocoderObject* geocoder = begin_method(kColumn, self, args, nargsf, kwnames, bound);
        if (geocoder == nullptr) return nullptr;
        const ReverseGeocoder& record = geocoder->record;
        std::size_t index = 0;
        if (!find_column(record, bound[0], index)) return nullptr;
        // Refused before any row: a separator the rows cannot be read with.
        Result<std::uint8_t> separator = separator_byte(record.value_sep);
        if (!separator) {
            report_error_value(separator.error());
            return nullptr;
        }
        const std::size_t count = record.indexed_data.size();
        PyRef values(PyList_New(static_cast<Py_ssize_t>(count)));
        if (!values) return nullptr;
        RowFields fields;
        for (std::size_t row = 0; row < count; ++row) {
            Result<std::string_view> field =
                field_of(record, row_text_at(record, row), index, fields);
            if (!field) {
                report_error_value(Error("row " + std::to_string(row) + ": " +
                                         field.error().message()));
                return nullptr;
            }
            PyObject* value = new_str(*field);
            if (value == nullptr) {
                report_python_api_failure();
                return nullptr;
            }
            PyList_SET_ITEM(values.get(), static_cast<Py_ssize_t>(row), value);
        }
        return values.release();
    });
}

}  // namespace vicinor::binding
