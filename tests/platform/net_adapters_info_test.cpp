// How the adapters read maps a link's type and state to the IP helper's
// numbers, and the read on this machine's own links.
#include "platform/net/adapters_info.h"

#include <gtest/gtest.h>
#include <linux/if.h>
#include <linux/if_arp.h>

namespace {

namespace net = platform::net;

TEST(NetAdaptersInfo, TypeOfEachLinkType) {
  const std::pair<uint32_t, uint32_t> cases[] = {
      {ARPHRD_ETHER, net::kIfTypeEthernet}, {ARPHRD_PPP, net::kIfTypePpp},  {ARPHRD_LOOPBACK, net::kIfTypeLoopback},
      {ARPHRD_SLIP, net::kIfTypeSlip},      {ARPHRD_NONE, net::kIfTypeOther}, {ARPHRD_IEEE80211, net::kIfTypeUnlisted},
      {ARPHRD_SIT, net::kIfTypeUnlisted},
  };
  for (auto [arphrd, type] : cases) EXPECT_EQ(net::AdapterTypeOf(arphrd), type) << arphrd;
}

TEST(NetAdaptersInfo, StatusOfEachState) {
  constexpr uint32_t up = IFF_UP, carrier = IFF_UP | IFF_LOWER_UP;
  struct Case {
    uint8_t operstate;
    uint32_t flags;
    uint32_t status;
  };
  const Case cases[] = {
      {IF_OPER_UP, carrier, net::kOperOperational},
      {IF_OPER_UNKNOWN, carrier, net::kOperOperational},  // a held TUN
      {IF_OPER_UNKNOWN, up, net::kOperUnreachable},
      {IF_OPER_DOWN, up, net::kOperDisconnected},  // a TUN nobody holds
      {IF_OPER_LOWERLAYERDOWN, up, net::kOperDisconnected},
      {IF_OPER_NOTPRESENT, up, net::kOperDisconnected},
      {IF_OPER_UP, IFF_LOWER_UP, net::kOperDisconnected},  // not IFF_UP
      {IF_OPER_DORMANT, carrier, net::kOperUnreachable},
      {IF_OPER_TESTING, carrier, net::kOperUnreachable},
  };
  for (const Case& c : cases)
    EXPECT_EQ(net::OperStatusOf(c.operstate, c.flags), c.status) << int(c.operstate) << " " << c.flags;
}

TEST(NetAdaptersInfo, TheLoopbackLink) {
  std::vector<net::AdapterInfo> adapters;
  ASSERT_EQ(net::GetAdaptersInfo(adapters), 0u);
  auto lo = std::find_if(adapters.begin(), adapters.end(), [](const net::AdapterInfo& a) { return a.name == "lo"; });
  ASSERT_NE(lo, adapters.end());
  EXPECT_EQ(lo->type, net::kIfTypeLoopback);
  EXPECT_NE(lo->index, 0u);
  EXPECT_FALSE(lo->dhcpEnabled);
}

}  // namespace
