// Writing a file from an iterable of byte chunks the way save writes a
// geocoder: into a temporary file that replaces the target only once every
// chunk is on disk. An exception from the iterable, or a failed write,
// leaves the target as it was. For `vicinor batch -o`.
#pragma once

#include "binding/python.hpp"

namespace vicinor::binding {

PyObject* Geocoder_write_file(PyObject* self, PyObject* args);

inline constexpr const char kWriteFileDoc[] =
    "_write_file(path, chunks)\n--\n\n"
    "Writes every bytes-like object of the iterable chunks to path, replacing it\n"
    "only when all are written; on any failure path keeps its old content.";

}  // namespace vicinor::binding
