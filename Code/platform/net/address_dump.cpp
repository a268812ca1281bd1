#include "platform/net/address_dump.h"

#include <netlink/cache.h>
#include <netlink/route/addr.h>

#include "platform/net/ipv4_prefix.h"
#include "platform/net/net_error.h"
#include "platform/net/netlink_socket.h"
#include "platform/net/nl_ipv4.h"

namespace platform::net {

uint32_t DumpIpv4Addresses(std::vector<KernelAddress>& out) {
  out.clear();
  NetlinkSocket sock;
  if (int err = sock.Open(); err != 0) return Win32FromNetErrno(err);
  nl_cache* raw = nullptr;
  if (int r = rtnl_addr_alloc_cache(sock.get(), &raw); r < 0) return Win32FromNetErrno(ErrnoFromNl(r));
  NlCachePtr cache(raw);
  for (nl_object* obj = nl_cache_get_first(cache.get()); obj != nullptr; obj = nl_cache_get_next(obj)) {
    auto* addr = reinterpret_cast<rtnl_addr*>(obj);
    if (rtnl_addr_get_family(addr) != AF_INET) continue;
    KernelAddress k;
    k.ifIndex = static_cast<uint32_t>(rtnl_addr_get_ifindex(addr));
    k.address.local = Ipv4FromNl(rtnl_addr_get_local(addr));
    k.address.mask = MaskFromPrefix(rtnl_addr_get_prefixlen(addr));
    k.address.peer = Ipv4FromNl(rtnl_addr_get_peer(addr));
    if (k.address.peer == k.address.local) k.address.peer = 0;
    k.broadcast = Ipv4FromNl(rtnl_addr_get_broadcast(addr));
    out.push_back(k);
  }
  return 0;
}

}  // namespace platform::net
