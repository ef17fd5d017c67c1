#include "common/fault.hpp"

#include <cstdio>

namespace vicinor {

void raise_fault(std::string message, std::source_location where) {
    std::fprintf(stderr, "vicinor: internal fault at %s:%u:%u: %s\n", where.file_name(),
                 static_cast<unsigned>(where.line()), static_cast<unsigned>(where.column()),
                 message.c_str());
    throw InternalFault(std::move(message));
}

}  // namespace vicinor
