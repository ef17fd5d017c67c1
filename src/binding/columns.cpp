// The shared column helpers of the batch entry points.
#include "binding/columns.hpp"

#include <cmath>
#include <string>

namespace vicinor::binding {

PyObject* new_array(PyObject* numpy, const char* dtype, std::size_t count, void*& data) {
    PyRef array(PyObject_CallMethod(numpy, "empty", "ns", static_cast<Py_ssize_t>(count), dtype));
    if (!array) return nullptr;
    Py_buffer view;
    if (PyObject_GetBuffer(array.get(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) < 0) {
        return nullptr;
    }
    data = view.buf;  // the array owns its memory; the view adds nothing to it
    PyBuffer_Release(&view);
    return array.release();
}

bool convert_threads(PyObject* object, unsigned default_threads, unsigned& out) {
    if (object == nullptr || object == Py_None) {
        out = default_threads;
        return true;
    }
    PyRef index(PyNumber_Index(object));
    if (!index) {
        report_argument_error("threads");
        return false;
    }
    const long long value = PyLong_AsLongLong(index.get());
    if (value == -1 && PyErr_Occurred()) {
        report_argument_error("threads");
        return false;
    }
    if (value < 1) {
        raise_message(PyExc_ValueError, "argument 'threads': must be at least 1, got " +
                                            std::to_string(value));
        return false;
    }
    // More threads than cores only costs; more than this is a mistake.
    constexpr long long kMostThreads = 1024;
    out = static_cast<unsigned>(value < kMostThreads ? value : kMostThreads);
    return true;
}

namespace {

const char* non_finite_name(double value) {
    if (std::isnan(value)) return "nan";
    return value > 0 ? "inf" : "-inf";
}

}  // namespace

bool check_lengths(std::size_t lat_count, std::size_t lon_count) {
    if (lat_count == lon_count) return true;
    const bool lons_short = lon_count < lat_count;
    raise_message(PyExc_ValueError,
                  "lats and lons differ in length (" + std::to_string(lat_count) + " and " +
                      std::to_string(lon_count) + "): index " +
                      std::to_string(lons_short ? lon_count : lat_count) + " has no " +
                      (lons_short ? "longitude" : "latitude"));
    return false;
}

void report_non_finite(bool in_lons, std::size_t index, double value) {
    raise_message(PyExc_ValueError,
                  std::string(in_lons ? "lons[" : "lats[") + std::to_string(index) + "]: " +
                      (in_lons ? "longitude" : "latitude") + " must be a finite number, got " +
                      non_finite_name(value));
}

}  // namespace vicinor::binding
