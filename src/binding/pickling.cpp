// to_bytes, from_bytes and __reduce__. A pickle must not name the class by
// its module: the class reports builtins as its module, where unpickling
// could never find it. The pickle therefore finds from_bytes by its import
// path and calls it with the saved bytes, using only standard library
// callables: functools.reduce(operator.call, (path, data), pkgutil.resolve_name)
// evaluates operator.call(operator.call(resolve_name, path), data), that is
// resolve_name(path)(data).
#include "binding/pickling.hpp"

#include <span>

#include "binding/arguments.hpp"
#include "binding/boundary.hpp"
#include "binding/errors.hpp"
#include "binding/geocoder_type.hpp"
#include "binding/py_ref.hpp"
#include "persist/codec.hpp"
#include "persist/storage.hpp"

namespace vicinor::binding {
namespace {

constexpr const char* kDataNames[] = {"data"};
constexpr ParameterList kFromBytes = {"ReverseGeocoder.from_bytes()", kDataNames, 1, 1};
constexpr const char kFromBytesPath[] = "vicinor:ReverseGeocoder.from_bytes";

PyObject* attribute_of(const char* module_name, const char* name) {
    PyRef module(PyImport_ImportModule(module_name));
    if (!module) return nullptr;
    return PyObject_GetAttrString(module.get(), name);
}

}  // namespace

PyObject* Geocoder_to_bytes(PyObject* self, PyObject* /*no arguments*/) {
    return guard_entry([&]() -> PyObject* {
        GeocoderObject* geocoder = as_geocoder(self);
        if (geocoder == nullptr) return nullptr;
        Result<std::vector<std::uint8_t>> bytes = persist::encode_to_bytes(geocoder->record);
        if (!bytes) {
            report_error_value(bytes.error());
            return nullptr;
        }
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes->data()),
                                         static_cast<Py_ssize_t>(bytes->size()));
    });
}

PyObject* Geocoder_from_bytes(PyObject* /*no instance: static*/, PyObject* const* args,
                              Py_ssize_t nargsf, PyObject* kwnames) {
    return guard_entry([&]() -> PyObject* {
        PyObject* bound[1] = {};
        if (!bind_arguments(kFromBytes, args, nargsf, kwnames, bound)) return nullptr;
        Py_buffer view;
        if (PyObject_GetBuffer(bound[0], &view, PyBUF_SIMPLE) < 0) {
            report_argument_error("data");
            return nullptr;
        }
        // Decoded while the view pins the caller's memory.
        Result<ReverseGeocoder> decoded = persist::load_geocoder_from_bytes(std::span(
            static_cast<const std::uint8_t*>(view.buf), static_cast<std::size_t>(view.len)));
        PyBuffer_Release(&view);
        if (!decoded) {
            report_error_value(decoded.error());
            return nullptr;
        }
        return wrap_geocoder(std::move(decoded).value());
    });
}

PyObject* Geocoder_reduce(PyObject* self, PyObject* /*no arguments*/) {
    return guard_entry([&]() -> PyObject* {
        PyRef data(Geocoder_to_bytes(self, nullptr));
        if (!data) return nullptr;
        PyRef fold(attribute_of("functools", "reduce"));
        PyRef call(fold ? attribute_of("operator", "call") : nullptr);
        PyRef resolve(call ? attribute_of("pkgutil", "resolve_name") : nullptr);
        if (!resolve) return nullptr;
        return Py_BuildValue("(O(O(sO)O))", fold.get(), call.get(), kFromBytesPath, data.get(),
                             resolve.get());
    });
}

}  // namespace vicinor::binding
