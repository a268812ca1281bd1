// The gateway's protocol version byte, process-wide: high nibble major,
// low nibble minor; 0 at start, 0x10 from the first login, then the
// gateway's own.
#pragma once

#include <atomic>
#include <cstdint>

namespace brindleway {

extern std::atomic<uint8_t> g_btProtocolVersion;

// Gateways of protocol version 2 or later rekey on a timer, close TLS after
// the key exchange and get encapsulated keep-alives.
inline bool IsProtocolV2OrLater() {
  return (g_btProtocolVersion.load(std::memory_order_relaxed) & 0xF0) >= 0x20;
}

}  // namespace brindleway
