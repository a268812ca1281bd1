// The tunnel interface brought up on a real TUN adapter and closed again.
#include "Brindleway/adapter/tun_device.h"

#include "Brindleway/adapter/adapter_address.h"

#include <fcntl.h>

#include "common/log_reader.h"
#include "netns/netns_fixture.h"
#include "platform/net/interface_address.h"
#include "platform/net/link.h"
#include "platform/tun/tun_channel.h"
#include "support/log.h"
#include "support/os_version.h"
#include "support/registry_helpers.h"

namespace {

namespace net = platform::net;
using brindleway::CloseTunDevice;
using brindleway::CreateTunDevice;

class TunDeviceTest : public vqtest::NetnsTest {
 protected:
  void SetUp() override {
    NetnsTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    LogInit(nullptr);
  }
  void TearDown() override {
    LogCleanup();
    NetnsTest::TearDown();
  }
  static std::string Log() {
    LogCleanup();
    std::string text = vqtest::ReadLogText();
    LogInit(nullptr);
    return text;
  }
  static bool LinkUp(const std::string& name) {
    net::LinkInfo link;
    EXPECT_EQ(net::GetLink(net::InterfaceIndex(name), link), 0u);
    return link.up;
  }
};

TEST_F(TunDeviceTest, WithoutAnAdapterThereIsNoDevice) {
  EXPECT_EQ(CreateTunDevice(A("10.9.0.2"), A("10.9.0.1"), A("255.255.255.0")), nullptr);
  EXPECT_NE(Log().find("Get device GUID failed"), std::string::npos);
}

TEST_F(TunDeviceTest, RegisteredButNoInterface) {
  ASSERT_EQ(InstallAdapter("vqtun0"), 0);
  ASSERT_EQ(Ip({"tuntap", "del", "dev", "vqtun0", "mode", "tun"}), 0);
  EXPECT_EQ(CreateTunDevice(A("10.9.0.2"), A("10.9.0.1"), A("255.255.255.0")), nullptr);
  EXPECT_NE(Log().find("Get interface index failed"), std::string::npos);
}

TEST_F(TunDeviceTest, CreateThenClose) {
  ASSERT_EQ(InstallAdapter("vqtun0"), 0);
  std::unique_ptr<brindleway::TunDevice> tun = CreateTunDevice(A("10.9.0.2"), A("10.9.0.1"), A("255.255.255.0"));
  ASSERT_NE(tun, nullptr);
  EXPECT_EQ(tun->connectionName, "vqtun0");
  EXPECT_EQ(tun->ifIndex, net::InterfaceIndex("vqtun0"));
  EXPECT_EQ(tun->mtu, 1400u);
  EXPECT_EQ(brindleway::TunMtu(), 1400u);
  EXPECT_TRUE(LinkUp("vqtun0"));
  std::vector<net::InterfaceAddress> addresses;
  ASSERT_EQ(net::GetInterfaceAddresses(tun->ifIndex, addresses), 0u);
  ASSERT_EQ(addresses.size(), 1u);
  EXPECT_EQ(addresses[0].local, A("10.9.0.2"));
  EXPECT_EQ(addresses[0].mask, A("255.255.255.0"));
  EXPECT_EQ(tun->device->PointToPointRemote(), A("10.9.0.1"));
  const std::string log = Log();
  EXPECT_NE(log.find("Set interface address OK"), std::string::npos);
  EXPECT_NE(log.find("Create tunnel interface OK"), std::string::npos);

  const int fd = tun->device->PollFd();
  CloseTunDevice(std::move(tun));
  EXPECT_FALSE(LinkUp("vqtun0"));
  EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
  CloseTunDevice(nullptr);  // ignored
}

TEST_F(TunDeviceTest, TheSameAddressIsNotSetAgain) {
  ASSERT_EQ(InstallAdapter("vqtun0"), 0);
  auto tun = CreateTunDevice(A("10.9.0.2"), A("10.9.0.1"), A("255.255.255.0"));
  ASSERT_NE(tun, nullptr);
  EXPECT_EQ(Log().find("Do not need change TunDevice ip"), std::string::npos);
  EXPECT_EQ(brindleway::SetTunDeviceIpCommand2(tun.get(), A("10.9.0.2"), A("255.255.255.0")), 0);
  EXPECT_NE(Log().find("Do not need change TunDevice ip"), std::string::npos);
  // Another address replaces it.
  EXPECT_EQ(brindleway::SetTunDeviceIpCommand2(tun.get(), A("10.9.0.3"), A("255.255.255.0")), 0);
  std::vector<net::InterfaceAddress> addresses;
  ASSERT_EQ(net::GetInterfaceAddresses(tun->ifIndex, addresses), 0u);
  ASSERT_EQ(addresses.size(), 1u);
  EXPECT_EQ(addresses[0].local, A("10.9.0.3"));
  EXPECT_NE(Log().find("Command interface ip set address name=\"vqtun0\" static 10.9.0.3 255.255.255.0"),
            std::string::npos);
}

TEST_F(TunDeviceTest, AGatewayOutsideTheSubnetIsThePeer) {
  ASSERT_EQ(InstallAdapter("vqtun0"), 0);
  auto tun = CreateTunDevice(A("10.9.0.2"), A("10.200.0.1"), A("255.255.255.255"));
  ASSERT_NE(tun, nullptr);
  std::vector<net::InterfaceAddress> addresses;
  ASSERT_EQ(net::GetInterfaceAddresses(tun->ifIndex, addresses), 0u);
  ASSERT_EQ(addresses.size(), 1u);
  EXPECT_EQ(addresses[0].peer, A("10.200.0.1"));
}

TEST_F(TunDeviceTest, AZeroAddressOrMaskFails) {
  ASSERT_EQ(InstallAdapter("vqtun0"), 0);
  struct Case {
    const char* local;
    const char* mask;
    const char* text;
  };
  for (const Case& c : {Case{"0.0.0.0", "255.255.255.0", "0.0.0.0/255.255.255.0"},
                        Case{"10.9.0.2", "0.0.0.0", "10.9.0.2/0.0.0.0"}}) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(CreateTunDevice(A(c.local), A("10.9.0.1"), A(c.mask)), nullptr);
    EXPECT_NE(Log().find(std::string("Set interface address failed: ") + c.text + " is invalid address"),
              std::string::npos);
    EXPECT_FALSE(LinkUp("vqtun0"));
    // The device was released: it opens again.
    std::unique_ptr<platform::tun::Device> again;
    EXPECT_EQ(platform::tun::OpenTun("vqtun0", again), 0u);
  }
}

TEST_F(TunDeviceTest, ADriverWithoutMtuStillGivesARecord) {
  ASSERT_EQ(InstallAdapter("vqtun0"), 0);
  auto state = std::make_shared<platform::tun::ChannelState>();
  state->answersMtu = false;
  auto open = [&](const std::string&, std::unique_ptr<platform::tun::Device>& out) {
    return platform::tun::OpenChannel(state, out);
  };
  // An earlier tunnel's MTU does not survive into this one.
  auto first = CreateTunDevice(A("10.9.0.2"), A("10.9.0.1"), A("255.255.255.0"));
  ASSERT_NE(first, nullptr);
  CloseTunDevice(std::move(first));
  ASSERT_EQ(brindleway::TunMtu(), 1400u);

  auto tun = CreateTunDevice(A("10.9.0.2"), A("10.9.0.1"), A("255.255.255.0"), open);
  ASSERT_NE(tun, nullptr);
  EXPECT_EQ(tun->mtu, 0u);
  EXPECT_EQ(brindleway::TunMtu(), 0u);
  EXPECT_TRUE(state->mediaConnected);
  CloseTunDevice(std::move(tun));
  EXPECT_FALSE(state->mediaConnected);
  EXPECT_TRUE(state->closed);
}

TEST_F(TunDeviceTest, TheMetricStepRunsFromVistaOn) {
  ASSERT_EQ(InstallAdapter("vqtun0"), 0);
  for (const char* version : {"5.1", "6.0"}) {
    SCOPED_TRACE(version);
    ASSERT_EQ(RegWriteProductValue(kOsVersionValue, version), 0);
    const size_t before = Log().size();
    auto tun = CreateTunDevice(A("10.9.0.2"), A("10.9.0.1"), A("255.255.255.0"));
    ASSERT_NE(tun, nullptr);
    const bool ran = Log().find("Command interface ip set interface", before) != std::string::npos;
    EXPECT_EQ(ran, IsVistaOrLater());
  }
}

}  // namespace
