// A namespace with the tunnel's adapter as the route tests need it: vqtun0
// made and opened into a TunDevice record for 10.9.0.2 with its far end
// 10.9.0.1 on a /24; GiveAddress brings it up with that address.
#pragma once

#include "Brindleway/adapter/tun_device.h"
#include "netns/netns_fixture.h"
#include "platform/net/interface_address.h"
#include "platform/net/link.h"
#include "platform/tun/tun.h"
#include "support/log.h"

namespace vqtest {

class TunnelAdapterTest : public NetnsTest {
 protected:
  void SetUp() override {
    NetnsTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    LogInit(nullptr);
    ASSERT_EQ(Ip({"tuntap", "add", "dev", "vqtun0", "mode", "tun"}), 0);
    tun_.connectionName = "vqtun0";
    tun_.ifIndex = platform::net::InterfaceIndex("vqtun0");
    tun_.localAddress = A("10.9.0.2");
    tun_.remoteAddress = A("10.9.0.1");
    tun_.netmask = A("255.255.255.0");
    ASSERT_EQ(platform::tun::OpenTun("vqtun0", tun_.device), 0u);
  }
  void TearDown() override {
    LogCleanup();
    NetnsTest::TearDown();
  }

  void GiveAddress() {
    ASSERT_EQ(platform::net::SetLinkUp(tun_.ifIndex, true), 0u);
    ASSERT_EQ(platform::net::SetInterfaceAddress(tun_.ifIndex, {tun_.localAddress, tun_.netmask, 0}), 0u);
  }

  brindleway::TunDevice tun_;
};

}  // namespace vqtest
