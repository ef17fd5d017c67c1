// vicinor._CountryBorders: the country polygons and their grid, for
// vicinor_tools (country_of, the border-aware world lookups). Internal: the
// leading underscore keeps it out of the module's specified surface and
// __all__; its interface may change with vicinor_tools.
#pragma once

#include "binding/python.hpp"

namespace vicinor::binding {

// The class, created once per process. Borrowed; nullptr with an exception
// set if the host cannot create it.
PyTypeObject* country_borders_type() noexcept;

}  // namespace vicinor::binding
