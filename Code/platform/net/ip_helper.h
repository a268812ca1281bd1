// The system's IPv4 address and route tables, read and changed through
// rtnetlink. Addresses are IPv4 in network order, as the socket layer holds
// them. Results are 0 or a Win32 code (5 without the privilege, 87 for a bad
// row, 1168 when a row to change or delete is not there, 5010 when a route
// to create is already there). Routes created here carry the system's own
// route protocol (route_protocol.h); rows show it as proto 3, every other
// route as 2. A route to create whose destination and metric are taken by a
// different route gives 160: Linux keeps one route per destination and
// metric.
#pragma once

#include <cstdint>
#include <vector>

namespace platform::net {

// The kernel reassembles datagrams up to the IPv4 length field's maximum.
inline constexpr uint32_t kIpv4ReassemblyMax = 0xFFFF;

struct IpAddrRow {
  uint32_t addr = 0;
  uint32_t mask = 0;
  uint32_t ifIndex = 0;
  // The low bit of the broadcast address: 1 when broadcasts set the host
  // part to all ones, 0 when to all zeros or when the address has none.
  uint32_t bcastAddr = 0;
  // Largest datagram reassembled from fragments (the IPv4 maximum here).
  uint32_t reasmSize = kIpv4ReassemblyMax;
};

// Route types and protocols as the routing code of the system names them.
inline constexpr uint32_t kRouteTypeDirect = 3;
inline constexpr uint32_t kRouteTypeIndirect = 4;
inline constexpr uint32_t kRouteProtoNetMgmt = 3;  // made by this system
inline constexpr uint32_t kRouteProtoLocal = 2;    // any other route

struct IpForwardRow {
  uint32_t dest = 0;
  uint32_t mask = 0;
  uint32_t nextHop = 0;
  uint32_t ifIndex = 0;
  uint32_t type = kRouteTypeIndirect;  // direct: no next hop
  uint32_t proto = kRouteProtoNetMgmt;
  uint32_t metric1 = 0;
};

// Every IPv4 address of every interface of the current network namespace.
uint32_t GetIpAddrTable(std::vector<IpAddrRow>& rows);
// The main IPv4 route table; sorted by destination, mask, metric when asked.
uint32_t GetIpForwardTable(std::vector<IpForwardRow>& rows, bool sorted);
uint32_t CreateIpForwardEntry(const IpForwardRow& row);
// Changes the row matching dest, mask, next hop and interface (its metric).
uint32_t SetIpForwardEntry(const IpForwardRow& row);
uint32_t DeleteIpForwardEntry(const IpForwardRow& row);
// The table row the kernel would use to reach dest (IPv4, network order);
// 1168 when no route leads there.
uint32_t GetBestRoute(uint32_t dest, IpForwardRow& row);

}  // namespace platform::net
