#include "platform/net/adapters_info.h"

#include <linux/if.h>
#include <linux/if_arp.h>
#include <netlink/addr.h>
#include <netlink/cache.h>
#include <netlink/route/link.h>

#include "platform/net/ip_helper.h"
#include "platform/net/net_error.h"
#include "platform/net/netlink_socket.h"

namespace platform::net {

uint32_t AdapterTypeOf(uint32_t arphrd) {
  switch (arphrd) {
    case ARPHRD_ETHER: return kIfTypeEthernet;
    case ARPHRD_PPP: return kIfTypePpp;
    case ARPHRD_LOOPBACK: return kIfTypeLoopback;
    case ARPHRD_SLIP: return kIfTypeSlip;
    case ARPHRD_NONE: return kIfTypeOther;  // TUN
    default: return kIfTypeUnlisted;
  }
}

uint32_t OperStatusOf(uint8_t operstate, uint32_t flags) {
  if ((flags & IFF_UP) == 0) return kOperDisconnected;
  switch (operstate) {
    case IF_OPER_UP: return kOperOperational;
    // Drivers that do not report a state (TUN among them) say so through
    // the carrier flag.
    case IF_OPER_UNKNOWN: return (flags & IFF_LOWER_UP) != 0 ? kOperOperational : kOperUnreachable;
    case IF_OPER_DOWN:
    case IF_OPER_LOWERLAYERDOWN:
    case IF_OPER_NOTPRESENT: return kOperDisconnected;
    default: return kOperUnreachable;
  }
}

uint32_t GetAdaptersInfo(std::vector<AdapterInfo>& adapters) {
  adapters.clear();
  NetlinkSocket sock;
  if (int err = sock.Open(); err != 0) return Win32FromNetErrno(err);
  nl_cache* raw = nullptr;
  if (int r = rtnl_link_alloc_cache(sock.get(), AF_UNSPEC, &raw); r < 0) return Win32FromNetErrno(ErrnoFromNl(r));
  NlCachePtr cache(raw);
  std::vector<IpAddrRow> addresses;
  if (uint32_t err = GetIpAddrTable(addresses); err != 0) return err;
  std::vector<IpForwardRow> routes;
  if (uint32_t err = GetIpForwardTable(routes, false); err != 0) return err;

  for (nl_object* obj = nl_cache_get_first(cache.get()); obj != nullptr; obj = nl_cache_get_next(obj)) {
    auto* link = reinterpret_cast<rtnl_link*>(obj);
    AdapterInfo info;
    info.index = static_cast<uint32_t>(rtnl_link_get_ifindex(link));
    const char* name = rtnl_link_get_name(link);
    info.name = name != nullptr ? name : "";
    info.type = AdapterTypeOf(rtnl_link_get_arptype(link));
    if (nl_addr* hw = rtnl_link_get_addr(link); hw != nullptr && nl_addr_get_len(hw) > 0) {
      const auto* bytes = static_cast<const uint8_t*>(nl_addr_get_binary_addr(hw));
      info.hardwareAddress.assign(bytes, bytes + nl_addr_get_len(hw));
    }
    info.operStatus = OperStatusOf(rtnl_link_get_operstate(link), rtnl_link_get_flags(link));
    for (const IpAddrRow& a : addresses)
      if (a.ifIndex == info.index) info.addresses.push_back({a.addr, a.mask});
    for (const IpForwardRow& r : routes) {
      if (r.ifIndex == info.index && r.dest == 0 && r.mask == 0 && r.nextHop != 0) {
        info.gateway = r.nextHop;
        break;
      }
    }
    adapters.push_back(std::move(info));
  }
  return 0;
}

}  // namespace platform::net
