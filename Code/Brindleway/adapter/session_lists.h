// What the gateway assigns to one channel session and the data path applies
// to the system: routes, DNS and WINS servers, preferred gateways.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace brindleway {

// Flag of a route record: still to be added to the system's table; adding
// it clears the flag.
inline constexpr uint32_t kRouteToAdd = 1;

struct RouteRecord {
  // IPv4, network order.
  uint32_t destination = 0;
  uint32_t mask = 0;
  uint32_t nextHop = 0;
  uint32_t ifIndex = 0;
  uint32_t type = 0;  // 3 direct, 4 indirect
  uint32_t metric = 0;
  uint32_t flag = kRouteToAdd;
};

// One preferred gateway, 12 bytes as received: IPv4 (network order), TCP
// port and UDP port (u32, big-endian).
using PreferredGateway = std::array<uint8_t, 12>;

}  // namespace brindleway
