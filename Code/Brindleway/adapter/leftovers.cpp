#include "Brindleway/adapter/leftovers.h"

#include <memory>
#include <string>
#include <vector>

#include "Brindleway/adapter/adapter_address.h"
#include "Brindleway/adapter/session_routes.h"
#include "platform/net/dns_resolver.h"
#include "platform/net/interface_address.h"
#include "platform/net/ip_helper.h"
#include "platform/net/link.h"
#include "support/ipv4_text.h"
#include "support/log.h"
#include "support/net_adapter.h"

namespace brindleway {
namespace {

namespace net = platform::net;

int TakeBackOwnRoutes(const RouteOps& ops) {
  std::vector<net::IpForwardRow> rows;
  if (ops.getForwardTable(rows, false) != 0) {
    LogPrint(LOG_ERR, "getIpForwardTable failed.\n");
    return 0;
  }
  int taken = 0;
  for (const net::IpForwardRow& row : rows) {
    if (row.proto != net::kRouteProtoNetMgmt) continue;
    if (const uint32_t err = ops.deleteRoute(row); err != 0) {
      LogPrint(LOG_ERR, "Delete route %s/%s left by the last run failed: %d\n", DottedIPv4(row.dest),
               DottedIPv4(row.mask), err);
      continue;
    }
    LogPrint(LOG_INFO, "Deleted route %s/%s via %s left by the last run\n", DottedIPv4(row.dest), DottedIPv4(row.mask),
             DottedIPv4(row.nextHop));
    ++taken;
  }
  return taken;
}

int TakeBackAdapter() {
  uint32_t index = 0;
  if (GetTunAdapterIndex(index) != 0) return 0;
  const std::string name = net::InterfaceName(index);
  if (name.empty()) return 0;
  int taken = 0;

  // The resolver answers 0 also when it had nothing of ours to take back.
  std::unique_ptr<net::DnsResolver> resolver = net::OpenDnsResolver();
  if (const uint32_t err = resolver->RevertDnsServers(name); err != 0) {
    LogPrint(LOG_ERR, "Restore DNS servers of %s through %s failed (%d)\n", name, resolver->Name(), err);
  }

  std::vector<net::InterfaceAddress> addresses;
  if (net::GetInterfaceAddresses(index, addresses) == 0) {
    for (const net::InterfaceAddress& address : addresses) {
      if (net::DeleteInterfaceAddress(index, address) != 0) continue;
      LogPrint(LOG_INFO, "Deleted address %s of %s left by the last run\n", DottedIPv4(address.local), name);
      ++taken;
    }
  }

  std::string guid;
  std::string bind;
  if (GetTunAdapterGuid(guid) == 0 && ReadTcpipBind(bind) == 0 &&
      bind.find("\\Device\\" + guid) != std::string::npos && ChangeChannelDNSPri(1) == 0) {
    LogPrint(LOG_INFO, "Removed the binding entry of %s left by the last run\n", name);
    ++taken;
  }
  return taken;
}

}  // namespace

int TakeBackLeftovers(const RouteOps& ops) {
  int taken = TakeBackOwnRoutes(ops);
  taken += RestoreSavedDefaultRoutes(ops);
  taken += TakeBackAdapter();
  return taken;
}

}  // namespace brindleway
