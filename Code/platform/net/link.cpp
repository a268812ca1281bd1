#include "platform/net/link.h"

#include <net/if.h>
#include <netlink/cache.h>
#include <netlink/route/link.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "platform/net/net_error.h"
#include "platform/net/netlink_socket.h"
#include "platform/unique_fd.h"
#include "platform/win32/win32_error.h"

namespace platform::net {
namespace {

struct LinkPut {
  void operator()(rtnl_link* link) const { rtnl_link_put(link); }
};
using LinkPtr = std::unique_ptr<rtnl_link, LinkPut>;

LinkInfo InfoOf(rtnl_link* link) {
  LinkInfo info;
  info.index = static_cast<uint32_t>(rtnl_link_get_ifindex(link));
  const char* name = rtnl_link_get_name(link);
  info.name = name != nullptr ? name : "";
  info.up = (rtnl_link_get_flags(link) & IFF_UP) != 0;
  info.mtu = rtnl_link_get_mtu(link);
  return info;
}

}  // namespace

bool IsInterfaceName(const std::string& name) {
  return !name.empty() && name.size() < IFNAMSIZ && name != "." && name != ".." && name.find('/') == std::string::npos;
}

uint32_t InterfaceIndex(const std::string& name) {
  if (name.empty() || name.size() >= IF_NAMESIZE) return 0;
  return if_nametoindex(name.c_str());
}

std::string InterfaceName(uint32_t index) {
  char name[IF_NAMESIZE] = {};
  if (index == 0 || if_indextoname(index, name) == nullptr) return {};
  return name;
}

uint32_t GetLinks(std::vector<LinkInfo>& links) {
  links.clear();
  NetlinkSocket sock;
  if (int err = sock.Open(); err != 0) return Win32FromNetErrno(err);
  nl_cache* raw = nullptr;
  if (int r = rtnl_link_alloc_cache(sock.get(), AF_UNSPEC, &raw); r < 0) {
    return Win32FromNetErrno(ErrnoFromNl(r));
  }
  NlCachePtr cache(raw);
  for (nl_object* obj = nl_cache_get_first(cache.get()); obj != nullptr; obj = nl_cache_get_next(obj)) {
    links.push_back(InfoOf(reinterpret_cast<rtnl_link*>(obj)));
  }
  return 0;
}

uint32_t GetLink(uint32_t index, LinkInfo& info) {
  if (index == 0 || index > 0x7FFFFFFF) return ERROR_NOT_FOUND;
  NetlinkSocket sock;
  if (int err = sock.Open(); err != 0) return Win32FromNetErrno(err);
  rtnl_link* raw = nullptr;
  if (int r = rtnl_link_get_kernel(sock.get(), static_cast<int>(index), nullptr, &raw); r < 0) {
    const int err = ErrnoFromNl(r);
    return err == ENODEV ? ERROR_NOT_FOUND : Win32FromNetErrno(err);
  }
  LinkPtr link(raw);
  info = InfoOf(link.get());
  return 0;
}

uint32_t SetLinkUp(uint32_t index, bool up) {
  if (index == 0 || index > 0x7FFFFFFF) return ERROR_NOT_FOUND;
  NetlinkSocket sock;
  if (int err = sock.Open(); err != 0) return Win32FromNetErrno(err);
  LinkPtr orig(rtnl_link_alloc());
  LinkPtr change(rtnl_link_alloc());
  if (!orig || !change) return Win32FromNetErrno(ENOMEM);
  rtnl_link_set_ifindex(orig.get(), static_cast<int>(index));
  if (up) {
    rtnl_link_set_flags(change.get(), IFF_UP);
  } else {
    rtnl_link_unset_flags(change.get(), IFF_UP);
  }
  if (int r = rtnl_link_change(sock.get(), orig.get(), change.get(), 0); r < 0) {
    const int err = ErrnoFromNl(r);
    return err == ENODEV ? ERROR_NOT_FOUND : Win32FromNetErrno(err);
  }
  return 0;
}

uint32_t IgnoreRoutesWithLinkdown(const std::string& name) {
  // The name becomes a path: only what an interface name can be.
  if (!IsInterfaceName(name)) return ERROR_INVALID_PARAMETER;
  const std::string path = "/proc/sys/net/ipv4/conf/" + name + "/ignore_routes_with_linkdown";
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd.valid()) return errno == ENOENT ? ERROR_NOT_FOUND : Win32FromErrno(errno);
  if (::write(fd.get(), "1\n", 2) != 2) return Win32FromErrno(errno);
  return 0;
}

}  // namespace platform::net
