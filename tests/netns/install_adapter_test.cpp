// The adapter install step: the interface and the registry keys the tunnel
// service finds it by, and their removal.
#include <fstream>

#include "netns/netns_fixture.h"
#include "platform/net/link.h"
#include "support/net_adapter.h"

namespace {

namespace net = platform::net;

using InstallAdapterTest = vqtest::NetnsTest;

std::string ReadProc(const std::string& path) {
  std::ifstream in(path);
  std::string value;
  in >> value;
  return value;
}

TEST_F(InstallAdapterTest, InstallReinstallUninstall) {
  ASSERT_EQ(InstallAdapter("vqtun0"), 0);
  const uint32_t index = net::InterfaceIndex("vqtun0");
  ASSERT_NE(index, 0u);
  net::LinkInfo link;
  ASSERT_EQ(net::GetLink(index, link), 0u);
  EXPECT_EQ(link.mtu, 1400u);
  EXPECT_EQ(ReadProc("/proc/sys/net/ipv6/conf/vqtun0/disable_ipv6"), "1");

  std::string guid;
  ASSERT_EQ(GetTunAdapterGuid(guid), 0);
  EXPECT_EQ(guid.size(), 38u);
  EXPECT_EQ(guid.front(), '{');
  std::string name;
  ASSERT_EQ(GetAdapterConnectionName(guid, name), 0u);
  EXPECT_EQ(name, "vqtun0");
  uint32_t found = 0;
  ASSERT_EQ(GetTunAdapterIndex(found), 0);
  EXPECT_EQ(found, index);
  std::string bind;
  ASSERT_EQ(ReadTcpipBind(bind), 0u);
  EXPECT_EQ(bind, "\\Device\\" + guid);

  // Installing again keeps the adapter's GUID.
  ASSERT_EQ(InstallAdapter("vqtun0"), 0);
  std::string again;
  ASSERT_EQ(GetTunAdapterGuid(again), 0);
  EXPECT_EQ(again, guid);

  ASSERT_EQ(InstallAdapter("vqtun0", true), 0);
  EXPECT_EQ(net::InterfaceIndex("vqtun0"), 0u);
  EXPECT_EQ(GetTunAdapterGuid(again), -1);
  EXPECT_NE(GetAdapterConnectionName(guid, name), 0u);
  // Nothing left to remove is fine.
  EXPECT_EQ(InstallAdapter("vqtun0", true), 0);
}

TEST_F(InstallAdapterTest, ANameThatIsNoInterfaceNameIsRefused) {
  EXPECT_NE(InstallAdapter("vq tun;x"), 0);
  EXPECT_NE(InstallAdapter(std::string(16, 'a')), 0);
  std::string guid;
  EXPECT_EQ(GetTunAdapterGuid(guid), -1);
}

}  // namespace
