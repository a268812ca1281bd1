// Routes through the tunnel: adding the gateway's routes (with the retry
// ladder for refusals), deleting them, and clearing what an earlier run left
// on the tunnel interface.
//
// Adding one route:
//   1. the table row from the record (metric 0 stands for 1; on Vista and
//      later, with the interface found, the record's metric as given)
//   2. create; done when it is there (also when it already was)
//   3. up to three passes: 160 raises the metric up to 2048; 87 sets the
//      interface's address; then a pause of 5 s and one more try
//   4. failed: logged, with the address table printed
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <vector>

#include "Brindleway/adapter/session_lists.h"
#include "Brindleway/adapter/tun_device.h"
#include "platform/net/ip_helper.h"

namespace brindleway {

// What the route code asks of the system; the real layer by default, a
// fake in tests.
struct RouteOps {
  std::function<uint32_t(const platform::net::IpForwardRow&)> createRoute;
  std::function<uint32_t(const platform::net::IpForwardRow&)> deleteRoute;
  // Writes a row's metric back (the row matched by destination, mask, next
  // hop and interface).
  std::function<uint32_t(const platform::net::IpForwardRow&)> setRoute;
  std::function<uint32_t(std::vector<platform::net::IpForwardRow>&, bool sorted)> getForwardTable;
  std::function<uint32_t(std::vector<platform::net::IpAddrRow>&)> getAddrTable;
  // The interface's entry looked up (Vista and later): 0 when found.
  std::function<uint32_t(uint32_t ifIndex)> getIpInterfaceEntry;
  // Gives the interface its address after a refusal for the lack of one.
  std::function<uint32_t(const TunDevice& tun)> setIpAddress;
  std::function<void(std::chrono::milliseconds)> sleep;
  std::function<bool()> isVistaOrLater;
};

const RouteOps& SystemRouteOps();

// The longest pause between two tries and the highest metric tried.
inline constexpr std::chrono::milliseconds kRouteRetryPause{5000};
inline constexpr uint32_t kRouteMaxMetric = 2048;

// The table row of a record (no interface lookup).
platform::net::IpForwardRow RouteRowOf(const RouteRecord& route);

// 0 (flag cleared) or -1.
int AddRouteEntry(RouteRecord& route, TunDevice* tun);
int AddRouteEntry(RouteRecord& route, TunDevice* tun, const RouteOps& ops);
// 0, or -1 (logged).
int DeleteRouteEntry(const RouteRecord& route);
int DeleteRouteEntry(const RouteRecord& route, const RouteOps& ops);
// Media up, then every route of the tunnel interface that this system made
// and that has a gateway is deleted. 0, or -2 when the table is unreadable.
int ClearInterfaceRoutes(TunDevice* tun);
int ClearInterfaceRoutes(TunDevice* tun, const RouteOps& ops);
// The interface metric (Vista and later): Linux has no interface metric,
// so this only logs; 0.
int SetTunInterfaceMetric(TunDevice* tun);
// The IPv4 address table on standard output, for diagnosis.
void PrintIpAddrTable();
void PrintIpAddrTable(const RouteOps& ops);

}  // namespace brindleway
