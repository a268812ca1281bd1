// An IPv4 address out of one of libnl's address objects, in network order
// as the net layer holds it.
#pragma once

#include <netlink/addr.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstring>

namespace platform::net {

// 0 for none or an address of another family.
inline uint32_t Ipv4FromNl(nl_addr* addr) {
  uint32_t v = 0;
  if (addr != nullptr && nl_addr_get_family(addr) == AF_INET && nl_addr_get_len(addr) == 4) {
    std::memcpy(&v, nl_addr_get_binary_addr(addr), 4);
  }
  return v;
}

}  // namespace platform::net
