// English text of the last-error values the library, its platform layer and the driver leave.
#pragma once

#include <cstdint>

namespace kepra::core {

// Static text for a code; a fixed text for codes not in the table, never null.
const char* ErrorText(std::uint32_t code);

}  // namespace kepra::core
