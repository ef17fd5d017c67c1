// Moved to common/; kept only until the construction files include the new
// home directly.
#pragma once

#include "common/page_buffer.hpp"
