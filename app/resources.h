// Resource identifiers, shared by the resource script and the code.
#pragma once

#define REELHAWK_ICON 1

#ifndef RC_INVOKED
#include <cstdint>

namespace rh {
inline constexpr std::uint16_t kAppIconResource = REELHAWK_ICON;
}  // namespace rh
#endif
