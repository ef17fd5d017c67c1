// The module entry: single-phase initialisation, once per process, refused
// in any interpreter other than the first one that imported it.
#include "binding/python.hpp"

#include <atomic>
#include <cstdint>

#include "binding/country_borders_type.hpp"
#include "binding/errors.hpp"
#include "binding/geocoder_type.hpp"
#include "binding/py_ref.hpp"
#include "common/compatibility_texts.hpp"

namespace vicinor::binding {
namespace {

PyModuleDef vicinor_module = {
    PyModuleDef_HEAD_INIT, "vicinor", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// The class and its state are per process, so a second interpreter would
// share objects it must not touch.
std::atomic<std::int64_t> initialising_interpreter{-1};
PyObject* module_object = nullptr;

bool claim_interpreter() {
    std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        if (!PyErr_Occurred()) {
            raise_message(PyExc_SystemError, "attempted to fetch exception but none was set");
        }
        return false;
    }
    std::int64_t expected = -1;
    if (initialising_interpreter.compare_exchange_strong(expected, id) || expected == id) {
        return true;
    }
    raise_message(PyExc_ImportError, compat::kSubinterpreterMessage);
    return false;
}

bool fill_module(PyObject* module) {
    PyTypeObject* type = geocoder_type();
    if (type == nullptr) return false;
    PyRef all(PyList_New(0));
    if (!all) return false;
    PyRef name(PyUnicode_FromString("ReverseGeocoder"));
    if (!name || PyList_Append(all.get(), name.get()) < 0) return false;
    if (PyModule_AddObjectRef(module, "__all__", all.get()) < 0) return false;
    if (PyModule_AddObjectRef(module, "ReverseGeocoder", reinterpret_cast<PyObject*>(type)) < 0) {
        return false;
    }
    // Internal, for vicinor_tools: not in __all__.
    PyTypeObject* borders = country_borders_type();
    return borders != nullptr &&
           PyModule_AddObjectRef(module, "_CountryBorders", reinterpret_cast<PyObject*>(borders)) == 0;
}

PyObject* init_module() {
    if (!claim_interpreter()) return nullptr;
    if (module_object != nullptr) return Py_NewRef(module_object);
    PyRef module(PyModule_Create2(&vicinor_module, 1013));
    if (!module || !fill_module(module.get())) return nullptr;
    module_object = Py_NewRef(module.get());
    return module.release();
}

}  // namespace
}  // namespace vicinor::binding

PyMODINIT_FUNC PyInit_vicinor(void) {
    try {
        return vicinor::binding::init_module();
    } catch (...) {
        vicinor::binding::report_current_exception();
        return nullptr;
    }
}
