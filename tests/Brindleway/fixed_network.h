// A fixed view of the system's network for the tunnel checks: one LAN
// interface 192.168.1.10/24 (index 2) with a default route via
// 192.168.1.1, and the virtual adapter as interface 7.
#pragma once

#include <arpa/inet.h>

#include <vector>

#include "Brindleway/control/message_dispatch.h"

namespace brindleway {

inline uint32_t Ip(const char* text) {
  in_addr a{};
  inet_pton(AF_INET, text, &a);
  return a.s_addr;
}

inline constexpr uint32_t kTunIndex = 7;
inline constexpr uint32_t kLanIndex = 2;

struct FixedNetwork {
  std::vector<platform::net::IpAddrRow> addresses{{Ip("192.168.1.10"), Ip("255.255.255.0"), kLanIndex},
                                                  {Ip("10.8.0.2"), Ip("255.255.255.0"), kTunIndex}};
  std::vector<platform::net::IpForwardRow> routes{
      {Ip("0.0.0.0"), Ip("0.0.0.0"), Ip("192.168.1.1"), kLanIndex, platform::net::kRouteTypeIndirect, 2, 100},
      {Ip("192.168.1.0"), Ip("255.255.255.0"), 0, kLanIndex, platform::net::kRouteTypeDirect, 2, 0}};
  bool adapterThere = true;
  uint32_t routeError = 0;

  NetworkView View() {
    return NetworkView{[this](uint32_t& index) {
                         index = kTunIndex;
                         return adapterThere ? 0 : -1;
                       },
                       [this](std::vector<platform::net::IpAddrRow>& rows) {
                         rows = addresses;
                         return 0u;
                       },
                       [this](std::vector<platform::net::IpForwardRow>& rows) {
                         rows = routes;
                         return routeError;
                       }};
  }
};

}  // namespace brindleway
