// Internal faults: broken invariants that no caller can recover from inside
// the core. They unwind as a C++ exception of their own type so that every
// object built so far is released; the binding turns them into the host's
// panic exception. They never signal bad input: bad input is an Error value.
#pragma once

#include <exception>
#include <string>

namespace vicinor {

class InternalFault : public std::exception {
public:
    explicit InternalFault(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

// Writes a one-line diagnostic naming the source place to stderr, then throws.
// The place comes from compiler builtins rather than std::source_location,
// which not every supported compiler/library pairing provides.
[[noreturn]] void raise_fault(std::string message, const char* file = __builtin_FILE(),
                              int line = __builtin_LINE());

}  // namespace vicinor
