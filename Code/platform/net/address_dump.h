// The kernel's IPv4 addresses, one read of libnl's address cache: what the
// address table and an interface's own addresses are made from.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/net/interface_address.h"

namespace platform::net {

struct KernelAddress {
  uint32_t ifIndex = 0;
  InterfaceAddress address;  // peer 0 unless it differs from local
  uint32_t broadcast = 0;     // network order; 0: none
};

// Every IPv4 address of every interface: 0 or a Win32 code.
uint32_t DumpIpv4Addresses(std::vector<KernelAddress>& out);

}  // namespace platform::net
