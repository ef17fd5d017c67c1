// Raising host exceptions for every kind of failure, and the internal-fault
// exception type itself.
#include "binding/errors.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "binding/py_ref.hpp"
#include "common/fault.hpp"

namespace vicinor::binding {
namespace {

constexpr const char* kPanicName = "tessel_runtime.PanicException";
constexpr const char* kPanicDoc =
    "\nThe exception raised when native code called from Python panics.\n\nLike SystemExit, this "
    "exception is derived from BaseException so that\nit will typically propagate all the way "
    "through the stack and cause the\nPython interpreter to exit.\n";
constexpr std::string_view kNoFaultText = "panic from native code";

std::atomic<PyObject*> panic_type{nullptr};

// A str's UTF-8 bytes; lone surrogates pass as their (invalid) 3-byte forms
// and are replaced when the message is made, instead of failing the report.
std::string str_bytes(PyObject* str) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size)) return std::string(utf8, size);
    PyErr_Clear();
    PyRef bytes(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
    if (!bytes) {
        PyErr_Clear();
        return {};
    }
    return std::string(PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get()));
}

// Our own PanicException coming back from host code (say, from a __float__
// that called into us) continues as the same fault rather than becoming an
// ordinary error, so it still cannot be swallowed by `except Exception`.
void resume_if_panic(PyRef& exception) {
    PyObject* type = panic_exception_type();
    if (type == nullptr) {
        PyErr_Clear();
        return;
    }
    if (!PyObject_TypeCheck(exception.get(), reinterpret_cast<PyTypeObject*>(type))) return;
    std::string message = "Unwrapped panic from Python code";
    if (PyRef text{PyObject_Str(exception.get())}) {
        message = str_bytes(text.get());
    } else {
        PyErr_Clear();
    }
    PySys_WriteStderr(
        "--- Tessel is resuming a panic after fetching a PanicException from Python. ---\n");
    PySys_WriteStderr("Python stack trace below:\n");
    PyErr_SetRaisedException(exception.release());
    PyErr_PrintEx(0);
    throw InternalFault(std::move(message));
}

}  // namespace

PyObject* panic_exception_type() noexcept {
    if (PyObject* existing = panic_type.load(std::memory_order_acquire)) return existing;
    PyObject* created =
        PyErr_NewExceptionWithDoc(kPanicName, kPanicDoc, PyExc_BaseException, nullptr);
    if (created == nullptr) return nullptr;
    PyObject* expected = nullptr;
    if (!panic_type.compare_exchange_strong(expected, created, std::memory_order_acq_rel)) {
        Py_DECREF(created);  // another thread stored its type first; keep that one
        return expected;
    }
    return created;
}

void raise_message(PyObject* type, std::string_view message) noexcept {
    PyRef text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                    "replace"));
    if (!text) return;  // the host's own error (memory) stays set
    PyErr_SetObject(type, text.get());
}

void report_error_value(const Error& error) { raise_message(PyExc_RuntimeError, error.render()); }

void report_internal_fault(std::string_view message) noexcept {
    PyObject* type = panic_exception_type();
    if (type == nullptr) return;
    raise_message(type, message.empty() ? kNoFaultText : message);
}

void report_python_api_failure() noexcept {
    if (PyErr_Occurred()) PyErr_PrintEx(0);
    report_internal_fault("Python API call failed");
}

void report_argument_error(const char* name) {
    PyRef failure(PyErr_GetRaisedException());
    if (!failure) return;
    resume_if_panic(failure);
    if (Py_TYPE(failure.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        PyErr_SetRaisedException(failure.release());
        return;
    }
    std::string message = "argument '";
    message += name;
    message += "': ";
    message += object_text(failure.get());
    raise_message(PyExc_TypeError, message);
    PyRef renamed(PyErr_GetRaisedException());
    if (!renamed) return;
    // Keeps the original's own cause only; also marks the context suppressed.
    PyException_SetCause(renamed.get(), PyException_GetCause(failure.get()));
    PyErr_SetRaisedException(renamed.release());
}

void report_current_exception() noexcept {
    try {
        try {
            throw;
        } catch (const InternalFault& fault) {
            report_internal_fault(fault.message());
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        } catch (const std::exception& unexpected) {
            std::fprintf(stderr, "vicinor: unexpected C++ exception: %s\n", unexpected.what());
            report_internal_fault(unexpected.what());
        } catch (...) {
            report_internal_fault({});
        }
    } catch (...) {
        std::fputs("vicinor: uncaught panic at ffi boundary\n", stderr);
        std::abort();
    }
}

std::string object_text(PyObject* object) {
    if (PyRef text{PyObject_Str(object)}) return str_bytes(text.get());
    PyErr_WriteUnraisable(object);
    if (PyRef name{PyType_GetName(Py_TYPE(object))}) {
        return "<unprintable " + str_bytes(name.get()) + " object>";
    }
    PyErr_Clear();
    return "<unprintable object>";
}

std::string type_qualname(PyTypeObject* type) {
    if (PyRef name{PyType_GetQualName(type)}) return str_bytes(name.get());
    PyErr_Clear();
    return type->tp_name;
}

}  // namespace vicinor::binding
