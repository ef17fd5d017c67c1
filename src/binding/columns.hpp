// Columns of coordinates as the batch entry points take them: the caller's
// float64 buffer read in place (or a converted copy), result arrays made by
// numpy, the `threads` argument, and the checks every column passes.
#pragma once

#include "binding/python.hpp"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "binding/errors.hpp"
#include "binding/py_ref.hpp"
#include "common/double_column.hpp"

namespace vicinor::binding {

// A one-dimensional column of doubles, held for the call: the caller's own
// buffer when it is float64 already, else a converted copy.
class Column {
public:
    Column() = default;
    Column(const Column&) = delete;
    Column& operator=(const Column&) = delete;
    ~Column() {
        if (held_) PyBuffer_Release(&view_);
    }

    bool open(PyObject* numpy, PyObject* object, const char* name) {
        if (PyObject_CheckBuffer(object)) {
            if (PyObject_GetBuffer(object, &view_, PyBUF_STRIDES | PyBUF_FORMAT) == 0) {
                held_ = true;
                if (readable_in_place()) return true;
                PyBuffer_Release(&view_);
                held_ = false;
            } else {
                PyErr_Clear();  // numpy may still convert it
            }
        }
        // C-contiguous, aligned, native float64: the in-place form.
        converted_ = PyRef(PyObject_CallMethod(numpy, "require", "Oss", object, "float64", "CA"));
        if (!converted_) return false;
        if (PyObject_GetBuffer(converted_.get(), &view_, PyBUF_STRIDES | PyBUF_FORMAT) < 0) {
            return false;
        }
        held_ = true;
        if (view_.ndim != 1) {
            raise_message(PyExc_ValueError, std::string(name) + " must be one-dimensional, got " +
                                                std::to_string(view_.ndim) + " dimensions");
            return false;
        }
        if (!readable_in_place()) {
            report_internal_fault("a converted column is not a float64 vector");
            return false;
        }
        return true;
    }

    std::size_t size() const noexcept { return static_cast<std::size_t>(view_.shape[0]); }
    DoubleColumn column() const noexcept {
        return DoubleColumn{static_cast<const double*>(view_.buf),
                            view_.strides[0] / static_cast<Py_ssize_t>(sizeof(double))};
    }

private:
    bool readable_in_place() const noexcept {
        const char* format = view_.format != nullptr ? view_.format : "B";
        const bool native_double = std::strcmp(format, "d") == 0 ||
                                   std::strcmp(format, "@d") == 0 ||
                                   std::strcmp(format, "=d") == 0 ||
                                   (std::strcmp(format, "<d") == 0 &&
                                    std::endian::native == std::endian::little);
        return native_double && view_.ndim == 1 && view_.itemsize == sizeof(double) &&
               view_.strides != nullptr && view_.strides[0] % sizeof(double) == 0 &&
               reinterpret_cast<std::uintptr_t>(view_.buf) % alignof(double) == 0;
    }

    Py_buffer view_{};
    bool held_ = false;
    PyRef converted_;
};

// A new numpy array of `count` values of `dtype`, and its writable data.
PyObject* new_array(PyObject* numpy, const char* dtype, std::size_t count, void*& data);

// None (giving `default_threads`) or a count of at least 1, capped.
bool convert_threads(PyObject* object, unsigned default_threads, unsigned& out);

// ValueError naming the index that has no partner, when the lengths differ.
bool check_lengths(std::size_t lat_count, std::size_t lon_count);

// ValueError naming the first coordinate that is not a finite number.
void report_non_finite(bool in_lons, std::size_t index, double value);

}  // namespace vicinor::binding
