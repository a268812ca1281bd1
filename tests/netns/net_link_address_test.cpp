// Links and interface addresses over rtnetlink.
#include <net/if.h>

#include "netns/netns_fixture.h"
#include "platform/net/interface_address.h"
#include "platform/net/ip_helper.h"
#include "platform/net/link.h"
#include "platform/net/net_error.h"
#include "platform/win32/win32_error.h"

namespace {

namespace net = platform::net;

using NetLinkAddressTest = vqtest::NetnsTest;

TEST_F(NetLinkAddressTest, LinkUpAndDown) {
  const uint32_t index = net::InterfaceIndex("vqc0");
  ASSERT_NE(index, 0u);
  EXPECT_EQ(net::InterfaceName(index), "vqc0");
  EXPECT_EQ(net::InterfaceIndex("no-such-if"), 0u);
  // A name the kernel could never hold.
  EXPECT_EQ(net::InterfaceIndex(std::string(40, 'x')), 0u);

  net::LinkInfo link;
  ASSERT_EQ(net::GetLink(index, link), 0u);
  EXPECT_TRUE(link.up);
  EXPECT_EQ(link.mtu, 1500u);
  ASSERT_EQ(net::SetLinkUp(index, false), 0u);
  ASSERT_EQ(net::GetLink(index, link), 0u);
  EXPECT_FALSE(link.up);
  ASSERT_EQ(net::SetLinkUp(index, true), 0u);
  ASSERT_EQ(net::GetLink(index, link), 0u);
  EXPECT_TRUE(link.up);

  EXPECT_EQ(net::GetLink(9999, link), net::ERROR_NOT_FOUND);
  EXPECT_EQ(net::SetLinkUp(9999, true), net::ERROR_NOT_FOUND);
}

TEST_F(NetLinkAddressTest, SetAddressReplacesTheOthers) {
  const uint32_t index = net::InterfaceIndex("vqc0");
  ASSERT_EQ(Ip({"addr", "add", "10.77.0.5/24", "dev", "vqc0"}), 0);

  ASSERT_EQ(net::SetInterfaceAddress(index, {A("10.88.0.2"), A("255.255.255.0"), 0}), 0u);
  std::vector<net::InterfaceAddress> now;
  ASSERT_EQ(net::GetInterfaceAddresses(index, now), 0u);
  ASSERT_EQ(now.size(), 1u);
  EXPECT_EQ(now[0].local, A("10.88.0.2"));
  EXPECT_EQ(now[0].mask, A("255.255.255.0"));
  EXPECT_EQ(now[0].peer, 0u);
  // Again: nothing to do.
  EXPECT_EQ(net::SetInterfaceAddress(index, {A("10.88.0.2"), A("255.255.255.0"), 0}), 0u);

  EXPECT_EQ(net::AddInterfaceAddress(index, {A("10.88.0.2"), A("255.255.255.0"), 0}),
            net::ERROR_OBJECT_ALREADY_EXISTS);
  EXPECT_EQ(net::SetInterfaceAddress(index, {0, A("255.255.255.0"), 0}), platform::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(net::SetInterfaceAddress(index, {A("10.88.0.2"), A("255.0.255.0"), 0}),
            platform::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(net::AddInterfaceAddress(9999, {A("10.88.0.3"), A("255.255.255.0"), 0}), net::ERROR_NOT_FOUND);
  ASSERT_EQ(net::DeleteInterfaceAddress(index, {A("10.88.0.2"), A("255.255.255.0"), 0}), 0u);
  EXPECT_EQ(net::DeleteInterfaceAddress(index, {A("10.88.0.2"), A("255.255.255.0"), 0}), net::ERROR_NOT_FOUND);
}

TEST_F(NetLinkAddressTest, PeerAddressMakesTheFarEndReachable) {
  ASSERT_EQ(Ip({"tuntap", "add", "dev", "vqp0", "mode", "tun"}), 0);
  const uint32_t index = net::InterfaceIndex("vqp0");
  ASSERT_EQ(net::SetLinkUp(index, true), 0u);
  ASSERT_EQ(net::SetInterfaceAddress(index, {A("10.9.0.6"), A("255.255.255.255"), A("10.9.0.1")}), 0u);
  std::vector<net::InterfaceAddress> now;
  ASSERT_EQ(net::GetInterfaceAddresses(index, now), 0u);
  ASSERT_EQ(now.size(), 1u);
  EXPECT_EQ(now[0].peer, A("10.9.0.1"));
  // The gateway's tunnel address takes routes through the interface.
  net::IpForwardRow row;
  row.dest = A("10.200.0.0");
  row.mask = A("255.255.0.0");
  row.nextHop = A("10.9.0.1");
  row.ifIndex = index;
  row.metric1 = 1;
  EXPECT_EQ(net::CreateIpForwardEntry(row), 0u);
}

}  // namespace
