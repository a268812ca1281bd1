// The route protocol number that marks the routes this system creates, so
// that its own routes can be told from the kernel's and other programs'.
// 118 is unassigned in iproute2's rt_protos table.
#pragma once

#include <cstdint>

namespace platform::net {

inline constexpr uint8_t kOwnRouteProtocol = 0x76;

}  // namespace platform::net
