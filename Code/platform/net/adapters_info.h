// The adapters of the current network namespace as the IP helper reports
// them: per link its type and hardware address, whether it carries traffic,
// its IPv4 addresses and the next hop of a default route through it. Read
// over rtnetlink; results are 0 or a Win32 code.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform::net {

// Adapter types (MIB_IF_TYPE_*).
inline constexpr uint32_t kIfTypeOther = 1;
inline constexpr uint32_t kIfTypeEthernet = 6;
inline constexpr uint32_t kIfTypePpp = 23;
inline constexpr uint32_t kIfTypeLoopback = 24;
inline constexpr uint32_t kIfTypeSlip = 28;
// A link type the table has no entry for.
inline constexpr uint32_t kIfTypeUnlisted = 0;

// Operational status (MIB_IF_OPER_STATUS_*).
inline constexpr uint32_t kOperNonOperational = 0;
inline constexpr uint32_t kOperUnreachable = 1;
inline constexpr uint32_t kOperDisconnected = 2;
inline constexpr uint32_t kOperOperational = 5;

struct AdapterAddress {
  uint32_t addr = 0;  // network order
  uint32_t mask = 0;
};

struct AdapterInfo {
  uint32_t index = 0;
  std::string name;
  uint32_t type = kIfTypeUnlisted;
  std::vector<uint8_t> hardwareAddress;  // empty when the link has none
  uint32_t operStatus = kOperUnreachable;
  bool dhcpEnabled = false;  // no DHCP client is asked here
  std::vector<AdapterAddress> addresses;  // in the kernel's order
  uint32_t gateway = 0;  // next hop of a default route through it; 0: none
};

// The type of a link of ARPHRD type arphrd.
uint32_t AdapterTypeOf(uint32_t arphrd);
// The status of a link from its operstate (IF_OPER_*) and flags (IFF_*):
// up while it passes traffic, disconnected while it cannot, unreachable
// (neither) in between.
uint32_t OperStatusOf(uint8_t operstate, uint32_t flags);

uint32_t GetAdaptersInfo(std::vector<AdapterInfo>& adapters);

}  // namespace platform::net
