// to_bytes, from_bytes and __reduce__. A pickle must not name the class by
// its module: the class reports builtins as its module, where unpickling
// could never find it. It names one function of the companion package that
// only decodes a geocoder from bytes, so that an unpickler allowing that
// one global accepts geocoders and nothing else.
#include "binding/pickling.hpp"

#include <span>
#include <vector>

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
constexpr const char kRestoreModule[] = "vicinor_tools.pickling";
constexpr const char kRestoreName[] = "geocoder_from_bytes";

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
        std::vector<std::uint8_t> gathered;
        bool held = PyObject_GetBuffer(bound[0], &view, PyBUF_SIMPLE) == 0;
        if (!held) {
            // A strided view (say, memoryview(b)[::2]) is read as its bytes
            // in order, as bytes(view) would give them.
            if (!PyObject_CheckBuffer(bound[0])) {
                report_argument_error("data");
                return nullptr;
            }
            PyErr_Clear();
            if (PyObject_GetBuffer(bound[0], &view, PyBUF_FULL_RO) < 0) return nullptr;
            gathered.resize(static_cast<std::size_t>(view.len));
            const int copied = PyBuffer_ToContiguous(gathered.data(), &view, view.len, 'C');
            PyBuffer_Release(&view);
            if (copied < 0) return nullptr;
        }
        const std::span<const std::uint8_t> bytes =
            held ? std::span(static_cast<const std::uint8_t*>(view.buf),
                             static_cast<std::size_t>(view.len))
                 : std::span<const std::uint8_t>(gathered);
        // Decoded while the view pins the caller's memory.
        Result<ReverseGeocoder> decoded = persist::load_geocoder_from_bytes(bytes);
        if (held) PyBuffer_Release(&view);
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
        PyRef restore(attribute_of(kRestoreModule, kRestoreName));
        if (!restore) return nullptr;
        return Py_BuildValue("(O(O))", restore.get(), data.get());
    });
}

}  // namespace vicinor::binding
