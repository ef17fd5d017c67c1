// The shared column helpers of the batch entry points.
#include "binding/columns.hpp"

#include <string>

#include "binding/errors.hpp"
#include "binding/py_ref.hpp"

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
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) {
        report_argument_error("threads");
        return false;
    }
    if (overflow != 0 || value < 1 || value > kMostThreads) {
        raise_message(PyExc_ValueError, "argument 'threads': must be from 1 to " +
                                            std::to_string(kMostThreads) + ", got " +
                                            object_text(index.get()));
        return false;
    }
    out = static_cast<unsigned>(value);
    return true;
}

}  // namespace vicinor::binding
