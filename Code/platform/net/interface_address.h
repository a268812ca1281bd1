// IPv4 addresses of one interface (what "netsh ... set address static" does
// on the system it was written for). Addresses and masks are IPv4 in network
// order. Results are 0 or a Win32 code (5 without the privilege, 87 for a
// bad address or mask, 1168 for an interface or address that is not there).
#pragma once

#include <cstdint>
#include <vector>

namespace platform::net {

struct InterfaceAddress {
  uint32_t local = 0;
  uint32_t mask = 0;
  // The far end of a point-to-point link, 0 for none. When set, the kernel
  // routes to peer/mask through the interface instead of local/mask.
  uint32_t peer = 0;
};

// The interface's IPv4 addresses.
uint32_t GetInterfaceAddresses(uint32_t ifIndex, std::vector<InterfaceAddress>& out);
uint32_t AddInterfaceAddress(uint32_t ifIndex, const InterfaceAddress& address);
uint32_t DeleteInterfaceAddress(uint32_t ifIndex, const InterfaceAddress& address);
// Makes address the interface's only IPv4 address.
uint32_t SetInterfaceAddress(uint32_t ifIndex, const InterfaceAddress& address);

}  // namespace platform::net
