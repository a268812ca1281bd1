// The adapter configuration instances of this machine in a namespace: the
// installed adapter's address, DNS and WINS through them, and nothing at
// all when its interface is missing.
#include "Brindleway/adapter/wmi_adapter_config.h"

#include <filesystem>
#include <string>
#include <vector>

#include "common/temp_root.h"
#include "netns/netns_fixture.h"
#include "platform/net/dns_resolver.h"
#include "platform/net/interface_address.h"
#include "platform/net/link.h"
#include "platform/net/wins_servers.h"
#include "support/net_adapter.h"

namespace {

namespace net = platform::net;
using namespace brindleway;

class WmiAdapterConfigNetnsTest : public vqtest::NetnsTest {
 protected:
  void TearDown() override {
    net::ClearWinsServers("vqtun0");
    vqtest::NetnsTest::TearDown();
  }

  static std::vector<net::InterfaceAddress> Addresses(const std::string& ifname) {
    std::vector<net::InterfaceAddress> out;
    net::GetInterfaceAddresses(net::InterfaceIndex(ifname), out);
    return out;
  }
};

TEST_F(WmiAdapterConfigNetnsTest, AddressDnsAndWinsOfTheInstalledAdapter) {
  ASSERT_EQ(InstallAdapter("vqtun0"), 0);
  std::string guid;
  ASSERT_EQ(GetTunAdapterGuid(guid), 0);

  auto services = OpenAdapterConfigServices();
  std::string path;
  ASSERT_EQ(FindAdapterConfigPath(guid, services.get(), &path), WMI_S_OK);

  ASSERT_EQ(SetIpAddress(guid, A("10.9.0.2"), A("255.255.255.0")), WMI_S_OK);
  std::vector<net::InterfaceAddress> now = Addresses("vqtun0");
  ASSERT_EQ(now.size(), 1u);
  EXPECT_EQ(now[0].local, A("10.9.0.2"));
  EXPECT_EQ(now[0].mask, A("255.255.255.0"));
  // A new address replaces the old one.
  ASSERT_EQ(SetIpAddress(guid, A("10.9.1.7"), A("255.255.0.0")), WMI_S_OK);
  now = Addresses("vqtun0");
  ASSERT_EQ(now.size(), 1u);
  EXPECT_EQ(now[0].local, A("10.9.1.7"));
  // A mask with holes is the method's own failure; nothing changes.
  EXPECT_EQ(SetIpAddress(guid, A("10.9.2.2"), A("255.0.255.0")),
            static_cast<int32_t>(kAdapterConfigInvalidSubnetMask));
  EXPECT_EQ(Addresses("vqtun0")[0].local, A("10.9.1.7"));

  ASSERT_EQ(SetWins(guid, A("10.0.0.1"), A("10.0.0.2")), WMI_S_OK);
  EXPECT_EQ(net::WinsServers("vqtun0"), (std::vector<uint32_t>{A("10.0.0.1"), A("10.0.0.2")}));
  ASSERT_EQ(SetWins(guid, A("10.0.0.3"), 0), WMI_S_OK);
  EXPECT_EQ(net::WinsServers("vqtun0"), (std::vector<uint32_t>{A("10.0.0.3")}));

  const uint32_t dns[] = {A("10.0.0.53"), A("10.0.0.54")};
  ASSERT_EQ(WmiSetDnsServerSearchOrder(*services, guid, dns), WMI_S_OK);
  const std::string conf = vqtest::ReadFileBytes(net::ResolvConfPath());
  const size_t first = conf.find("nameserver 10.0.0.53");
  ASSERT_NE(first, std::string::npos) << conf;
  EXPECT_GT(conf.find("nameserver 10.0.0.54"), first);
  EXPECT_EQ(net::OpenDnsResolver()->RevertDnsServers("vqtun0"), 0u);
}

TEST_F(WmiAdapterConfigNetnsTest, MissingInterfaceIsNotFoundAndChangesNothing) {
  ASSERT_EQ(InstallAdapter("vqtun0"), 0);
  std::string guid;
  ASSERT_EQ(GetTunAdapterGuid(guid), 0);
  ASSERT_EQ(Ip({"tuntap", "del", "dev", "vqtun0", "mode", "tun"}), 0);

  std::filesystem::create_directories(std::filesystem::path(net::ResolvConfPath()).parent_path());
  vqtest::WriteFileBytes(net::ResolvConfPath(), "nameserver 192.0.2.1\n");
  const std::vector<net::InterfaceAddress> before = Addresses("vqc0");

  for (const std::string& id : {guid, std::string("{00000000-0000-0000-0000-000000000000}")}) {
    EXPECT_EQ(SetIpAddress(id, A("10.9.0.2"), A("255.255.255.0")), static_cast<int32_t>(0x80041002)) << id;
    EXPECT_EQ(SetWins(id, A("10.0.0.1"), A("10.0.0.2")), static_cast<int32_t>(0x80041002)) << id;
    const uint32_t dns[] = {A("10.0.0.53")};
    EXPECT_EQ(WmiSetDnsServerSearchOrder(*OpenAdapterConfigServices(), id, dns), static_cast<int32_t>(0x80041002))
        << id;
  }
  EXPECT_EQ(net::InterfaceIndex("vqtun0"), 0u);
  EXPECT_TRUE(net::WinsServers("vqtun0").empty());
  EXPECT_EQ(vqtest::ReadFileBytes(net::ResolvConfPath()), "nameserver 192.0.2.1\n");
  EXPECT_FALSE(std::filesystem::exists(net::ResolvConfBackupPath()));
  const std::vector<net::InterfaceAddress> after = Addresses("vqc0");
  ASSERT_EQ(after.size(), before.size());
  for (size_t i = 0; i < after.size(); ++i) EXPECT_EQ(after[i].local, before[i].local);
  ASSERT_EQ(InstallAdapter("vqtun0", true), 0);
}

}  // namespace
