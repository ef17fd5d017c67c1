// What the column entry points share besides their coordinates
// (coordinate_columns.hpp): result arrays made by numpy and the `threads`
// argument.
#pragma once

#include "binding/python.hpp"

#include <cstddef>

namespace vicinor::binding {

// A new numpy array of `count` values of `dtype`, and its writable data.
PyObject* new_array(PyObject* numpy, const char* dtype, std::size_t count, void*& data);

// More threads than cores only costs; more than this is a mistake.
inline constexpr long long kMostThreads = 1024;

// None (giving `default_threads`) or a count from 1 to kMostThreads; else
// ValueError or TypeError naming the argument.
bool convert_threads(PyObject* object, unsigned default_threads, unsigned& out);

}  // namespace vicinor::binding
