// Win32 results of the net layer. Route and address changes give the numbers
// the routing code of the system expects (5010 when a route already exists,
// 1168 when the row to change is not there, 87 for a row the kernel refuses,
// for instance a gateway it cannot reach); everything else follows the
// platform's errno table.
#pragma once

#include <cstdint>

namespace platform::net {

inline constexpr uint32_t ERROR_BAD_ARGUMENTS = 160;
inline constexpr uint32_t ERROR_NOT_FOUND = 1168;
inline constexpr uint32_t ERROR_OBJECT_ALREADY_EXISTS = 5010;

uint32_t Win32FromNetErrno(int err);

}  // namespace platform::net
