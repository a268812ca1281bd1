#include "platform/net/interface_address.h"

#include <linux/if_addr.h>
#include <linux/rtnetlink.h>
#include <netlink/attr.h>
#include <netlink/msg.h>

#include <cerrno>
#include <optional>

#include "platform/net/address_dump.h"
#include "platform/net/ipv4_prefix.h"
#include "platform/net/net_error.h"
#include "platform/net/netlink_socket.h"
#include "platform/win32/win32_error.h"

namespace platform::net {
namespace {

uint32_t SendAddress(int cmd, int flags, uint32_t ifIndex, const InterfaceAddress& a) {
  if (ifIndex == 0 || ifIndex > 0x7FFFFFFF) return ERROR_NOT_FOUND;
  const std::optional<int> prefix = PrefixFromMask(a.mask);
  if (!prefix || a.local == 0) return ERROR_INVALID_PARAMETER;
  NlMsgPtr msg(nlmsg_alloc_simple(cmd, flags));
  if (!msg) return ERROR_NOT_ENOUGH_MEMORY;
  ifaddrmsg ifa{};
  ifa.ifa_family = AF_INET;
  ifa.ifa_prefixlen = static_cast<unsigned char>(*prefix);
  ifa.ifa_index = ifIndex;
  const uint32_t address = a.peer != 0 ? a.peer : a.local;
  if (nlmsg_append(msg.get(), &ifa, sizeof ifa, NLMSG_ALIGNTO) < 0 ||
      nla_put(msg.get(), IFA_LOCAL, 4, &a.local) < 0 || nla_put(msg.get(), IFA_ADDRESS, 4, &address) < 0) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  if (cmd == RTM_NEWADDR && a.peer == 0 && *prefix < 31) {
    const uint32_t broadcast = a.local | ~a.mask;
    if (nla_put(msg.get(), IFA_BROADCAST, 4, &broadcast) < 0) return ERROR_NOT_ENOUGH_MEMORY;
  }
  NetlinkSocket sock;
  const int err = sock.Request(msg.get());
  if (err == ENODEV) return ERROR_NOT_FOUND;
  return Win32FromNetErrno(err);
}

}  // namespace

uint32_t GetInterfaceAddresses(uint32_t ifIndex, std::vector<InterfaceAddress>& out) {
  out.clear();
  std::vector<KernelAddress> all;
  if (uint32_t err = DumpIpv4Addresses(all); err != 0) return err;
  for (const KernelAddress& k : all) {
    if (k.ifIndex == ifIndex) out.push_back(k.address);
  }
  return 0;
}

uint32_t AddInterfaceAddress(uint32_t ifIndex, const InterfaceAddress& address) {
  return SendAddress(RTM_NEWADDR, NLM_F_CREATE | NLM_F_EXCL, ifIndex, address);
}

uint32_t DeleteInterfaceAddress(uint32_t ifIndex, const InterfaceAddress& address) {
  return SendAddress(RTM_DELADDR, 0, ifIndex, address);
}

uint32_t SetInterfaceAddress(uint32_t ifIndex, const InterfaceAddress& address) {
  if (!PrefixFromMask(address.mask) || address.local == 0) return ERROR_INVALID_PARAMETER;
  std::vector<InterfaceAddress> current;
  if (uint32_t err = GetInterfaceAddresses(ifIndex, current); err != 0) return err;
  bool present = false;
  for (const InterfaceAddress& a : current) {
    if (a.local == address.local && a.mask == address.mask && a.peer == address.peer) {
      present = true;
      continue;
    }
    if (uint32_t err = DeleteInterfaceAddress(ifIndex, a); err != 0 && err != ERROR_NOT_FOUND) return err;
  }
  return present ? 0 : AddInterfaceAddress(ifIndex, address);
}

}  // namespace platform::net
