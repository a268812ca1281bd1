#include "Brindleway/adapter/route_entry.h"

#include <arpa/inet.h>

#include <cstdio>
#include <thread>

#include "Brindleway/adapter/adapter_address.h"
#include "Brindleway/common/constants.h"
#include "Brindleway/common/debug_trace.h"
#include "platform/net/interface_address.h"
#include "platform/net/link.h"
#include "platform/net/net_error.h"
#include "platform/win32/win32_error.h"
#include "support/ipv4_text.h"
#include "support/log.h"
#include "support/os_version.h"

namespace brindleway {
namespace {

namespace net = platform::net;

uint32_t CreateOnce(const RouteOps& ops, const net::IpForwardRow& row) { return ops.createRoute(row); }

}  // namespace

const RouteOps& SystemRouteOps() {
  static const RouteOps ops = [] {
    RouteOps o;
    o.createRoute = net::CreateIpForwardEntry;
    o.deleteRoute = net::DeleteIpForwardEntry;
    o.setRoute = net::SetIpForwardEntry;
    o.getForwardTable = net::GetIpForwardTable;
    o.getAddrTable = net::GetIpAddrTable;
    o.getIpInterfaceEntry = [](uint32_t ifIndex) {
      net::LinkInfo link;
      return net::GetLink(ifIndex, link);
    };
    o.setIpAddress = [](const TunDevice& tun) {
      return net::SetInterfaceAddress(tun.ifIndex, TunInterfaceAddress(tun, tun.localAddress, tun.netmask));
    };
    o.sleep = [](std::chrono::milliseconds pause) { std::this_thread::sleep_for(pause); };
    o.isVistaOrLater = [] { return IsVistaOrLater(); };
    return o;
  }();
  return ops;
}

net::IpForwardRow RouteRowOf(const RouteRecord& route) {
  net::IpForwardRow row;
  row.dest = route.destination;
  row.mask = route.mask;
  row.nextHop = route.nextHop;
  row.ifIndex = route.ifIndex;
  row.type = route.type;
  row.proto = net::kRouteProtoNetMgmt;
  row.metric1 = route.metric != 0 ? route.metric : 1;
  return row;
}

int AddRouteEntry(RouteRecord& route, TunDevice* tun, const RouteOps& ops) {
  net::IpForwardRow row = RouteRowOf(route);
  const bool vista = ops.isVistaOrLater();
  if (vista) {
    if (uint32_t err = ops.getIpInterfaceEntry(route.ifIndex); err != 0) {
      LogPrint(LOG_ERR, "GetIpInterfaceEntry: Error Code= %d", err);
    } else {
      row.metric1 = route.metric;
    }
  }
  DebugTrace(TRACE_SETUP, "Route entry: %u/%u, gateway %u, metric %d, ifindex %d\n", ntohl(row.dest),
             ntohl(row.mask), ntohl(row.nextHop), row.metric1, row.ifIndex);

  uint32_t err = CreateOnce(ops, row);
  for (int pass = 0; err != 0 && pass < 3; ++pass) {
    if (vista && err == net::ERROR_BAD_ARGUMENTS) {
      // Refused for a metric below the interface's: the next one up, never
      // beyond the highest.
      while (row.metric1 <= kRouteMaxMetric) {
        err = CreateOnce(ops, row);
        if (err != net::ERROR_BAD_ARGUMENTS || row.metric1 == kRouteMaxMetric) break;
        ++row.metric1;
      }
      if (err == 0) break;
    } else if (err == platform::ERROR_INVALID_PARAMETER) {
      // The interface has no address yet.
      if (tun == nullptr || ops.setIpAddress(*tun) != 0) LogPrint(LOG_ERR, "Set IP address failed\n");
    }
    if (err == net::ERROR_OBJECT_ALREADY_EXISTS) {
      err = 0;
      break;
    }
    ops.sleep(kRouteRetryPause);
    err = CreateOnce(ops, row);
  }
  if (err == 0 || err == net::ERROR_OBJECT_ALREADY_EXISTS) {
    route.flag = 0;
    return 0;
  }
  LogPrint(LOG_ERR, "Add route entry (%u/%u, gateway %u, metric %d, ifindex %d) failed: %d\n", ntohl(row.dest),
           ntohl(row.mask), ntohl(row.nextHop), row.metric1, row.ifIndex, err);
  PrintIpAddrTable(ops);
  return -1;
}

int AddRouteEntry(RouteRecord& route, TunDevice* tun) { return AddRouteEntry(route, tun, SystemRouteOps()); }

int DeleteRouteEntry(const RouteRecord& route, const RouteOps& ops) {
  if (uint32_t err = ops.deleteRoute(RouteRowOf(route)); err != 0) {
    LogPrint(LOG_ERR, "Delete route entry failed: %d\n", err);
    return -1;
  }
  return 0;
}

int DeleteRouteEntry(const RouteRecord& route) { return DeleteRouteEntry(route, SystemRouteOps()); }

int ClearInterfaceRoutes(TunDevice* tun, const RouteOps& ops) {
  if (tun == nullptr) return -1;
  SetTunMediaStatus(tun->device.get(), true);
  std::vector<net::IpForwardRow> rows;
  if (ops.getForwardTable(rows, true) != 0) {
    LogPrint(LOG_ERR, "getIpForwardTable failed.\n");
    return -2;
  }
  for (const net::IpForwardRow& row : rows) {
    if (row.ifIndex != tun->ifIndex || row.proto != net::kRouteProtoNetMgmt || row.type == net::kRouteTypeDirect) {
      continue;
    }
    if (ops.deleteRoute(row) != 0) {
      LogPrint(LOG_ERR, "Delete interface route %s/%s failed.\n", DottedIPv4(row.dest), DottedIPv4(row.mask));
    }
  }
  LogPrint(LOG_INFO, "Clear interface route OK\n");
  return 0;
}

int ClearInterfaceRoutes(TunDevice* tun) { return ClearInterfaceRoutes(tun, SystemRouteOps()); }

int SetTunInterfaceMetric(TunDevice* tun) {
  if (tun == nullptr) return -1;
  // Linux routes carry their own metric and have no interface metric to add;
  // forwarding is left as it is, so the gateway cannot route through this
  // host into its other networks.
  LogPrint(LOG_INFO, "Command %s \n", FormatText("interface ip set interface \"%ld\" metric=%d", tun->ifIndex, 1));
  return 0;
}

void PrintIpAddrTable(const RouteOps& ops) {
  std::vector<net::IpAddrRow> rows;
  if (ops.getAddrTable(rows) != 0) {
    std::fputs("Call to GetIpAddrTable failed.\n", stdout);
    return;
  }
  for (const net::IpAddrRow& row : rows) {
    std::fputs("===========================================================\n", stdout);
    std::printf("\tAddress: %x\n", row.addr);
    std::printf("\tMask:    %x\n", row.mask);
    std::printf("\tIndex:   %x\n", row.ifIndex);
    std::printf("\tBCast:   %x\n", row.bcastAddr);
    std::printf("\tReasm:   %x\n", row.reasmSize);
  }
  std::fflush(stdout);
}

void PrintIpAddrTable() { PrintIpAddrTable(SystemRouteOps()); }

}  // namespace brindleway
