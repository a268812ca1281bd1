// How the other threads reach the channel thread: PostThreadMessage with
// the message and its code as wParam.
#pragma once

#include <cstdint>
#include <functional>

namespace brindleway {

using PostToChannelThread = std::function<void(uint32_t message, uint32_t code)>;

}  // namespace brindleway
