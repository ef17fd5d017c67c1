// Every entry point runs its body through `guard_entry`, so that no C++
// exception ever unwinds into the interpreter.
#pragma once

#include "binding/python.hpp"

#include <utility>

#include "binding/errors.hpp"

namespace vicinor::binding {

template <class Body>
PyObject* guard_entry(Body&& body) noexcept {
    try {
        return std::forward<Body>(body)();
    } catch (...) {
        report_current_exception();
        return nullptr;
    }
}

}  // namespace vicinor::binding
