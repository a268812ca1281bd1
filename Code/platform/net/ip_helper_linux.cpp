// Address and route tables over rtnetlink. Reads go through libnl's route
// caches; changes are built as plain rtmsg requests so every field the
// kernel matches on is the one we mean (libnl would guess a scope and fill
// in a protocol for a delete, and a delete must match any protocol).
#include <arpa/inet.h>
#include <linux/rtnetlink.h>
#include <netlink/addr.h>
#include <netlink/attr.h>
#include <netlink/cache.h>
#include <netlink/msg.h>
#include <netlink/route/nexthop.h>
#include <netlink/route/route.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <tuple>

#include "platform/net/address_dump.h"
#include "platform/net/ip_helper.h"
#include "platform/net/ipv4_prefix.h"
#include "platform/net/net_error.h"
#include "platform/net/netlink_socket.h"
#include "platform/net/nl_ipv4.h"
#include "platform/net/route_protocol.h"
#include "platform/win32/win32_error.h"

namespace platform::net {
namespace {

// A main-table route as the kernel holds it: the row plus what re-creating
// it with another metric must keep.
struct KernelRoute {
  IpForwardRow row;
  uint8_t protocol = 0;
  uint8_t scope = RT_SCOPE_UNIVERSE;
  uint8_t tos = 0;
  uint32_t prefSrc = 0;
  uint32_t flags = 0;
};

KernelRoute FromRtnl(rtnl_route* route) {
  KernelRoute k;
  nl_addr* dst = rtnl_route_get_dst(route);
  k.row.dest = Ipv4FromNl(dst);
  k.row.mask = MaskFromPrefix(dst != nullptr ? static_cast<int>(nl_addr_get_prefixlen(dst)) : 0);
  if (rtnl_route_get_nnexthops(route) > 0) {
    rtnl_nexthop* nh = rtnl_route_nexthop_n(route, 0);
    k.row.nextHop = Ipv4FromNl(rtnl_route_nh_get_gateway(nh));
    k.row.ifIndex = static_cast<uint32_t>(rtnl_route_nh_get_ifindex(nh));
    k.flags = rtnl_route_nh_get_flags(nh) & RTNH_F_ONLINK;
  }
  k.row.type = k.row.nextHop == 0 ? kRouteTypeDirect : kRouteTypeIndirect;
  k.protocol = rtnl_route_get_protocol(route);
  k.row.proto = k.protocol == kOwnRouteProtocol ? kRouteProtoNetMgmt : kRouteProtoLocal;
  k.row.metric1 = rtnl_route_get_priority(route);
  k.scope = rtnl_route_get_scope(route);
  k.tos = rtnl_route_get_tos(route);
  k.prefSrc = Ipv4FromNl(rtnl_route_get_pref_src(route));
  return k;
}

int DumpRoutes(std::vector<KernelRoute>& out) {
  NetlinkSocket sock;
  if (int err = sock.Open(); err != 0) return err;
  nl_cache* raw = nullptr;
  if (int r = rtnl_route_alloc_cache(sock.get(), AF_INET, 0, &raw); r < 0) return ErrnoFromNl(r);
  NlCachePtr cache(raw);
  for (nl_object* obj = nl_cache_get_first(cache.get()); obj != nullptr; obj = nl_cache_get_next(obj)) {
    auto* route = reinterpret_cast<rtnl_route*>(obj);
    if (rtnl_route_get_family(route) != AF_INET) continue;
    if (rtnl_route_get_table(route) != RT_TABLE_MAIN) continue;
    if (rtnl_route_get_type(route) != RTN_UNICAST) continue;
    out.push_back(FromRtnl(route));
  }
  return 0;
}

bool SameKey(const IpForwardRow& a, const IpForwardRow& b) {
  return a.dest == b.dest && a.mask == b.mask && a.nextHop == b.nextHop && a.ifIndex == b.ifIndex;
}

// The request for one route; metric only when given (a delete without it
// matches any metric).
NlMsgPtr RouteMessage(int cmd, int flags, const KernelRoute& k, int prefix, bool withMetric) {
  NlMsgPtr msg(nlmsg_alloc_simple(cmd, flags));
  if (!msg) return nullptr;
  rtmsg rtm{};
  rtm.rtm_family = AF_INET;
  rtm.rtm_dst_len = static_cast<unsigned char>(prefix);
  rtm.rtm_tos = k.tos;
  rtm.rtm_table = RT_TABLE_MAIN;
  rtm.rtm_protocol = k.protocol;
  rtm.rtm_scope = k.scope;
  rtm.rtm_type = cmd == RTM_DELROUTE ? RTN_UNSPEC : RTN_UNICAST;
  rtm.rtm_flags = k.flags;
  if (nlmsg_append(msg.get(), &rtm, sizeof rtm, NLMSG_ALIGNTO) < 0) return nullptr;
  if (prefix > 0 && nla_put(msg.get(), RTA_DST, 4, &k.row.dest) < 0) return nullptr;
  if (k.row.nextHop != 0 && nla_put(msg.get(), RTA_GATEWAY, 4, &k.row.nextHop) < 0) return nullptr;
  if (k.row.ifIndex != 0 && nla_put_u32(msg.get(), RTA_OIF, k.row.ifIndex) < 0) return nullptr;
  if (k.prefSrc != 0 && nla_put(msg.get(), RTA_PREFSRC, 4, &k.prefSrc) < 0) return nullptr;
  if (withMetric && nla_put_u32(msg.get(), RTA_PRIORITY, k.row.metric1) < 0) return nullptr;
  return msg;
}

int SendRoute(int cmd, int flags, const KernelRoute& k, bool withMetric) {
  const std::optional<int> prefix = PrefixFromMask(k.row.mask);
  if (!prefix) return EINVAL;
  NlMsgPtr msg = RouteMessage(cmd, flags, k, *prefix, withMetric);
  if (!msg) return ENOMEM;
  NetlinkSocket sock;
  return sock.Request(msg.get());
}

// A direct route's next hop names the interface's own address, not a
// gateway: on Linux the route is on-link.
IpForwardRow Normalized(const IpForwardRow& row) {
  IpForwardRow r = row;
  if (r.type == kRouteTypeDirect) r.nextHop = 0;
  return r;
}

// A route the system creates: our protocol, on-link when it has no gateway.
KernelRoute OwnRoute(const IpForwardRow& row) {
  KernelRoute k;
  k.row = Normalized(row);
  k.protocol = kOwnRouteProtocol;
  k.scope = k.row.nextHop == 0 ? RT_SCOPE_LINK : RT_SCOPE_UNIVERSE;
  return k;
}

}  // namespace

uint32_t GetIpAddrTable(std::vector<IpAddrRow>& rows) {
  rows.clear();
  std::vector<KernelAddress> all;
  if (uint32_t err = DumpIpv4Addresses(all); err != 0) return err;
  rows.reserve(all.size());
  for (const KernelAddress& k : all) {
    IpAddrRow row{k.address.local, k.address.mask, k.ifIndex};
    row.bcastAddr = k.broadcast != 0 && (ntohl(k.broadcast) & 1u) != 0 ? 1 : 0;
    rows.push_back(row);
  }
  return 0;
}

uint32_t GetIpForwardTable(std::vector<IpForwardRow>& rows, bool sorted) {
  rows.clear();
  std::vector<KernelRoute> routes;
  if (int err = DumpRoutes(routes); err != 0) return Win32FromNetErrno(err);
  rows.reserve(routes.size());
  for (const KernelRoute& k : routes) rows.push_back(k.row);
  if (sorted) {
    std::sort(rows.begin(), rows.end(), [](const IpForwardRow& a, const IpForwardRow& b) {
      return std::make_tuple(ntohl(a.dest), ntohl(a.mask), a.metric1, a.ifIndex, ntohl(a.nextHop)) <
             std::make_tuple(ntohl(b.dest), ntohl(b.mask), b.metric1, b.ifIndex, ntohl(b.nextHop));
    });
  }
  return 0;
}

uint32_t CreateIpForwardEntry(const IpForwardRow& given) {
  const IpForwardRow row = Normalized(given);
  const int err = SendRoute(RTM_NEWROUTE, NLM_F_CREATE | NLM_F_EXCL, OwnRoute(row), true);
  if (err != EEXIST) return Win32FromNetErrno(err);
  // The kernel keeps one route per destination and metric: "exists" only
  // when that one is this route; a different route in its place makes the
  // metric unusable, as a refused metric does.
  std::vector<KernelRoute> routes;
  if (DumpRoutes(routes) == 0) {
    for (const KernelRoute& k : routes) {
      if (k.row.dest == row.dest && k.row.mask == row.mask && k.row.metric1 == row.metric1 &&
          k.row.nextHop == row.nextHop && (row.ifIndex == 0 || k.row.ifIndex == row.ifIndex)) {
        return ERROR_OBJECT_ALREADY_EXISTS;
      }
    }
  }
  return ERROR_BAD_ARGUMENTS;
}

uint32_t DeleteIpForwardEntry(const IpForwardRow& row) {
  KernelRoute k;
  k.row = Normalized(row);
  k.protocol = RTPROT_UNSPEC;  // any protocol
  k.scope = RT_SCOPE_NOWHERE;  // any scope
  return Win32FromNetErrno(SendRoute(RTM_DELROUTE, 0, k, false));
}

uint32_t SetIpForwardEntry(const IpForwardRow& row) {
  if (!PrefixFromMask(row.mask)) return ERROR_INVALID_PARAMETER;
  std::vector<KernelRoute> routes;
  if (int err = DumpRoutes(routes); err != 0) return Win32FromNetErrno(err);
  auto it = std::find_if(routes.begin(), routes.end(),
                         [&row](const KernelRoute& k) { return SameKey(k.row, row); });
  if (it == routes.end()) return ERROR_NOT_FOUND;
  if (it->row.metric1 == row.metric1) return 0;
  // The metric is part of a Linux route's key: add the route at its new
  // metric first, so the destination never goes unrouted, then drop the old.
  KernelRoute moved = *it;
  moved.row.metric1 = row.metric1;
  if (int err = SendRoute(RTM_NEWROUTE, NLM_F_CREATE | NLM_F_EXCL, moved, true); err != 0) {
    return Win32FromNetErrno(err);
  }
  if (int err = SendRoute(RTM_DELROUTE, 0, *it, true); err != 0) {
    SendRoute(RTM_DELROUTE, 0, moved, true);
    return Win32FromNetErrno(err);
  }
  return 0;
}

uint32_t GetBestRoute(uint32_t dest, IpForwardRow& row) {
  NlMsgPtr msg(nlmsg_alloc_simple(RTM_GETROUTE, 0));
  if (!msg) return ERROR_NOT_ENOUGH_MEMORY;
  rtmsg rtm{};
  rtm.rtm_family = AF_INET;
  rtm.rtm_dst_len = 32;
  rtm.rtm_flags = RTM_F_FIB_MATCH;  // the table entry, not the resolved path
  if (nlmsg_append(msg.get(), &rtm, sizeof rtm, NLMSG_ALIGNTO) < 0 ||
      nla_put(msg.get(), RTA_DST, 4, &dest) < 0) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  NetlinkSocket sock;
  bool found = false;
  const int err = sock.Query(msg.get(), [&](nl_msg* reply) {
    rtnl_route* route = nullptr;
    if (rtnl_route_parse(nlmsg_hdr(reply), &route) < 0 || route == nullptr) return EIO;
    row = FromRtnl(route).row;
    rtnl_route_put(route);
    found = true;
    return 0;
  });
  if (err == ENETUNREACH || err == EHOSTUNREACH || (err == 0 && !found)) return ERROR_NOT_FOUND;
  return Win32FromNetErrno(err);
}

}  // namespace platform::net
