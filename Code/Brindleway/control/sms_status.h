// The gateway's SMS refusal statuses as the client application's codes.
#pragma once

#include <cstdint>

namespace brindleway {

// -16 wrong code 1028, -17 time-out 1024, -18 device error 1027, -19 too
// many tries 1026, -20 too many requests 1025. A status the client does
// not know is still a refusal: 1027, never 0.
int MapSmsStatus(int32_t status);

}  // namespace brindleway
