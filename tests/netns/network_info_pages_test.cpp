// The Interface and Route pages of Network Information on the installed
// virtual adapter of a fresh namespace pair, its addresses, routes and name
// servers set through the net layer, under the headless host.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "client/ui/general_page.h"
#include "client/ui/interface_page.h"
#include "client/ui/network_info_dialog.h"
#include "client/ui/route_page.h"
#include "common/eventually.h"
#include "netns/netns_fixture.h"
#include "platform/net/dns_resolver.h"
#include "platform/net/interface_address.h"
#include "platform/net/ip_helper.h"
#include "platform/net/link.h"
#include "platform/net/wins_servers.h"
#include "platform/tun/tun.h"
#include "platform/ui/headless_host.h"
#include "support/language_strings.h"
#include "support/log.h"

namespace {

using namespace client;
using namespace platform::ui;
namespace net = platform::net;

class NetworkInfoPages : public vqtest::NetnsTest {
 protected:
  void SetUp() override {
    NetnsTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    LogInit(nullptr);
    ASSERT_EQ(InstallAdapter("vqtun0"), 0);
    index_ = net::InterfaceIndex("vqtun0");
    ASSERT_NE(index_, 0u);
    auto table = LoadLanguageStrings(VQ_CLIENT_DIR, 1033);
    ASSERT_TRUE(table.has_value());
    strings_ = std::make_shared<LanguageStrings>(std::move(*table));
    host_.SetStrings([s = strings_](uint32_t id) { return s->Find(id); });
  }
  void TearDown() override {
    host_.BeginShutdown();
    device_.reset();
    LogCleanup();
    NetnsTest::TearDown();
  }

  // The adapter as the tunnel service has it: held, up, 10.8.0.2/24, a
  // route to 192.168.50.0/24 through the gateway's end, DNS and WINS.
  void Attach() {
    ASSERT_EQ(platform::tun::OpenTun("vqtun0", device_), 0u);
    ASSERT_EQ(net::SetLinkUp(index_, true), 0u);
    ASSERT_EQ(net::SetInterfaceAddress(index_, {A("10.8.0.2"), A("255.255.255.0"), 0}), 0u);
    net::IpForwardRow route;
    route.dest = A("192.168.50.0");
    route.mask = A("255.255.255.0");
    route.nextHop = A("10.8.0.1");
    route.ifIndex = index_;
    route.metric1 = 1;
    ASSERT_EQ(net::CreateIpForwardEntry(route), 0u);
    ASSERT_EQ(net::OpenDnsResolver()->SetDnsServers("vqtun0", {A("10.8.0.53")}), 0u);
    net::RecordWinsServer("vqtun0", A("10.8.0.54"));
  }

  Dialog* Open() {
    Dialog* d = OpenNetworkInfo(host_, nullptr, [] { return StatusSnapshot{}; });
    host_.RunUntilIdle();
    return d;
  }
  Dialog* Page(int templ) { return host_.FindDialog(templ); }
  static std::vector<std::string> Items(Dialog& d, int id) {
    std::vector<std::string> items;
    for (int i = 0; i < d.ItemCount(id); ++i) items.push_back(d.ItemText(id, i));
    return items;
  }
  static std::vector<std::vector<std::string>> Rows(Dialog& d) {
    std::vector<std::vector<std::string>> rows;
    for (int r = 0; r < d.RowCount(IDC_ROUTE_LIST); ++r) {
      rows.emplace_back();
      for (int c = 0; c < 5; ++c) rows.back().push_back(d.Cell(IDC_ROUTE_LIST, r, c));
    }
    return rows;
  }

  uint32_t index_ = 0;
  std::unique_ptr<platform::tun::Device> device_;
  std::shared_ptr<LanguageStrings> strings_;
  platform::FakeClock clock_;
  HeadlessHost host_{clock_};
};

TEST_F(NetworkInfoPages, DetachedAdapterWithoutAddress) {
  ASSERT_NE(Open(), nullptr);
  Dialog* iface = Page(IDD_INTERFACE_PAGE);
  ASSERT_NE(iface, nullptr);
  EXPECT_EQ(iface->Text(IDC_ADAPTER_NAME), "Tarnwickgate Virtual Network Adapter");
  EXPECT_EQ(iface->Text(IDC_ADDRESS_TYPE), "Manually Configured");
  EXPECT_EQ(iface->Text(IDC_NETWORK_ADDRESS), "0.0.0.0");
  EXPECT_EQ(iface->Text(IDC_SUBNET_MASK), "0.0.0.0");
  EXPECT_EQ(iface->Text(IDC_DEFAULT_GATEWAY), "");
  EXPECT_EQ(iface->Text(IDC_ADAPTER_TYPE), "Other");
  EXPECT_EQ(iface->Text(IDC_PHYSICAL_ADDRESS), "00-00-00-00-00-00");
  EXPECT_EQ(iface->Text(IDC_DHCP_SERVER_LABEL), "");
  EXPECT_EQ(iface->Text(IDC_DHCP_SERVER), "");
  EXPECT_EQ(iface->Text(IDC_ADAPTER_STATUS), "Down");
  EXPECT_EQ(iface->ItemCount(IDC_DNS_LIST), 0);
  EXPECT_EQ(iface->ItemCount(IDC_WINS_LIST), 0);
  Dialog* route = Page(IDD_ROUTE_PAGE);
  ASSERT_NE(route, nullptr);
  EXPECT_EQ(route->RowCount(IDC_ROUTE_LIST), 0);
}

TEST_F(NetworkInfoPages, AttachedAdapterEveryField) {
  Attach();
  ASSERT_FALSE(HasFatalFailure());
  Dialog* d = Open();
  ASSERT_NE(d, nullptr);
  Dialog* iface = Page(IDD_INTERFACE_PAGE);
  ASSERT_NE(iface, nullptr);
  EXPECT_EQ(iface->Text(IDC_ADAPTER_NAME), "Tarnwickgate Virtual Network Adapter");
  EXPECT_EQ(iface->Text(IDC_ADDRESS_TYPE), "Manually Configured");
  EXPECT_EQ(iface->Text(IDC_NETWORK_ADDRESS), "10.8.0.2");
  EXPECT_EQ(iface->Text(IDC_SUBNET_MASK), "255.255.255.0");
  EXPECT_EQ(iface->Text(IDC_DEFAULT_GATEWAY), "");
  EXPECT_EQ(iface->Text(IDC_ADAPTER_TYPE), "Other");
  EXPECT_EQ(iface->Text(IDC_PHYSICAL_ADDRESS), "00-00-00-00-00-00");
  // The kernel tells of the carrier a moment after the device is held.
  ASSERT_TRUE(host_.Select(IDD_NETWORK_INFO, IDC_NETWORK_INFO_TABS, 1));
  EXPECT_TRUE(vqtest::Eventually([&] {
    host_.Advance(kInterfacePeriodMs);
    return iface->Text(IDC_ADAPTER_STATUS) == "Up";
  }));
  EXPECT_EQ(Items(*iface, IDC_DNS_LIST), (std::vector<std::string>{"10.8.0.53"}));
  EXPECT_EQ(Items(*iface, IDC_WINS_LIST), (std::vector<std::string>{"10.8.0.54"}));

  Dialog* route = Page(IDD_ROUTE_PAGE);
  ASSERT_NE(route, nullptr);
  const std::vector<std::string> ours{"192.168.50.0", "255.255.255.0", "10.8.0.1", "10.8.0.2", "1"};
  const auto rows = Rows(*route);
  EXPECT_NE(std::find(rows.begin(), rows.end(), ours), rows.end());
  for (const auto& row : rows) {
    EXPECT_EQ(row[3], "10.8.0.2") << "only routes through the adapter";
    EXPECT_NE(row[0], "10.123.0.0") << "the other link's route";
    EXPECT_NE(row[2], "10.123.0.1") << "the other link's default route";
  }
  // The connected route of the address, and ours.
  EXPECT_EQ(rows.size(), 2u);

  // A default route through the adapter is its gateway, at the next refresh.
  ASSERT_EQ(Ip({"route", "add", "default", "via", "10.8.0.1", "dev", "vqtun0", "metric", "300"}), 0);
  host_.Advance(kInterfacePeriodMs);
  EXPECT_EQ(iface->Text(IDC_DEFAULT_GATEWAY), "10.8.0.1");

  // Detached: Down; the kernel's routes through it stay until the service
  // takes them back, which the Route page then shows.
  // The kernel tells of the lost carrier a moment later.
  device_->Close();
  EXPECT_TRUE(vqtest::Eventually([&] {
    host_.Advance(kInterfacePeriodMs);
    return iface->Text(IDC_ADAPTER_STATUS) == "Down";
  }));
  ASSERT_EQ(net::OpenDnsResolver()->RevertDnsServers("vqtun0"), 0u);
  net::ClearWinsServers("vqtun0");
  host_.Advance(kInterfacePeriodMs);
  EXPECT_EQ(iface->ItemCount(IDC_DNS_LIST), 0);
  EXPECT_EQ(iface->ItemCount(IDC_WINS_LIST), 0);
}

TEST_F(NetworkInfoPages, ARouteThroughTheAdapterWithoutAddressNamesItsIndex) {
  ASSERT_EQ(platform::tun::OpenTun("vqtun0", device_), 0u);
  ASSERT_EQ(net::SetLinkUp(index_, true), 0u);
  ASSERT_EQ(Ip({"route", "add", "192.168.70.0/24", "dev", "vqtun0"}), 0);
  ASSERT_NE(Open(), nullptr);
  Dialog* route = Page(IDD_ROUTE_PAGE);
  ASSERT_NE(route, nullptr);
  char hex[16];
  std::snprintf(hex, sizeof hex, "%x", index_);
  EXPECT_EQ(Rows(*route), (std::vector<std::vector<std::string>>{{"192.168.70.0", "255.255.255.0", "0.0.0.0", hex, "0"}}));
}

}  // namespace
