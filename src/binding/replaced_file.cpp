#include "binding/replaced_file.hpp"

#include <optional>
#include <string>
#include <utility>

#include "binding/boundary.hpp"
#include "binding/conversions.hpp"
#include "binding/errors.hpp"
#include "binding/py_ref.hpp"
#include "binding/released_gil.hpp"
#include "persist/file_replace.hpp"

namespace vicinor::binding {
namespace {

// File calls here retry when interrupted: the chunks come from Python
// code, which is where a signal's handler gets its chance to stop the run.
Status released(auto&& call) {
    ReleasedGil gil;
    return call();
}

}  // namespace

PyObject* Geocoder_write_file(PyObject*, PyObject* args) {
    return guard_entry([&]() -> PyObject* {
        PyObject* path_object = nullptr;
        PyObject* chunks = nullptr;
        if (!PyArg_ParseTuple(args, "OO:_write_file", &path_object, &chunks)) return nullptr;
        std::string path;
        if (!convert_path(path_object, "path", path)) return nullptr;
        PyRef iterator(PyObject_GetIter(chunks));
        if (!iterator) return nullptr;

        std::optional<persist::FileReplacement> target;
        Status status = released([&]() -> Status {
            Result<persist::FileReplacement> begun = persist::FileReplacement::begin(path);
            if (!begun) return std::move(begun).error();
            target.emplace(std::move(begun).value());
            return {};
        });
        // From here every early return abandons the replacement.
        for (PyRef chunk; status;) {
            chunk = PyRef(PyIter_Next(iterator.get()));
            if (!chunk) {
                if (PyErr_Occurred()) return nullptr;
                break;
            }
            Py_buffer view;
            if (PyObject_GetBuffer(chunk.get(), &view, PyBUF_SIMPLE) < 0) return nullptr;
            status = released([&] {
                return target->sink().write_all(static_cast<const std::uint8_t*>(view.buf),
                                                static_cast<std::size_t>(view.len));
            });
            PyBuffer_Release(&view);
        }
        if (status) {
            status = released([&]() -> Status {
                if (Status written = target->finish_writing(); !written) return written;
                return target->commit();
            });
        }
        if (!status) {
            report_error_value(status.error());
            return nullptr;
        }
        Py_RETURN_NONE;
    });
}

}  // namespace vicinor::binding
