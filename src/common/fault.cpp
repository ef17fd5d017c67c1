#include "common/fault.hpp"

#include <cstdio>

namespace vicinor {

void raise_fault(std::string message, const char* file, int line) {
    std::fprintf(stderr, "vicinor: internal fault at %s:%d: %s\n", file, line, message.c_str());
    throw InternalFault(std::move(message));
}

}  // namespace vicinor
