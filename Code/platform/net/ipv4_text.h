// IPv4 addresses (network order) as dotted text.
#pragma once

#include <arpa/inet.h>

#include <cstdint>
#include <string>

namespace platform::net {

inline std::string DottedIpv4(uint32_t address) {
  char text[INET_ADDRSTRLEN] = "";
  in_addr a{};
  a.s_addr = address;
  ::inet_ntop(AF_INET, &a, text, sizeof text);
  return text;
}

}  // namespace platform::net
