// Network Information as Qt widgets under QT_QPA_PLATFORM=offscreen: the
// keyboard between the tab strip and the pages, and (as root, on the
// adapter of a namespace pair) the screenshots of its three pages in
// English and Chinese.
#include <gtest/gtest.h>

#include <QApplication>
#include <QListWidget>
#include <QPushButton>
#include <QTabBar>
#include <QTest>
#include <QTreeWidget>

#include <filesystem>
#include <memory>

#include "client/cert_token.h"
#include "client/ui/general_page.h"
#include "client/ui/interface_page.h"
#include "client/ui/network_info_dialog.h"
#include "client/ui/route_page.h"
#include "netns/netns_fixture.h"
#include "platform/net/dns_resolver.h"
#include "platform/net/interface_address.h"
#include "platform/net/ip_helper.h"
#include "platform/net/link.h"
#include "platform/net/wins_servers.h"
#include "platform/tun/tun.h"
#include "platform/ui/qt/qt_dialog_view.h"
#include "platform/ui/qt/qt_host.h"
#include "platform/ui/win32_ui.h"
#include "support/log.h"
#include "support/wire.h"

namespace {

using namespace client;
using namespace platform::ui;
namespace net = platform::net;

// What the status poll of a connected tunnel stores.
StatusSnapshot Connected() {
  uint8_t r[kInqueryReplySize] = {3};
  const uint8_t server[4] = {10, 123, 0, 1}, local[4] = {10, 123, 0, 2};
  std::copy(server, server + 4, r + 5);
  std::copy(local, local + 4, r + 9);
  wire::PutU32(r + 13, 1532);
  wire::PutU32(r + 17, 1498);
  wire::PutU32(r + 21, 1843217);
  wire::PutU32(r + 25, 209113);
  wire::PutF64(r + 29, 3725.4);
  wire::PutU16(r + 41, 12);
  wire::PutU16(r + 43, 2);
  wire::PutU16(r + 45, 6);
  wire::PutU16(r + 47, 2);
  wire::PutU32(r + 49, 800);
  wire::PutU32(r + 53, 520);
  wire::PutU32(r + 57, 900);
  wire::PutU32(r + 61, 610);
  StatusSnapshot s;
  s.block.Store(r, sizeof r);
  s.channelState = 4;
  return s;
}

class NetworkInfoQtHost {
 public:
  NetworkInfoQtHost() : host(clock, VQ_CLIENT_RES_DIR) {}

  Dialog* Open(uint16_t language) {
    host.SetStrings(vqtest::ClientStrings(language));
    Dialog* d = OpenNetworkInfo(host, nullptr, [] { return Connected(); });
    host.ProcessEvents();
    EXPECT_NE(d, nullptr);
    if (d) {
      EXPECT_TRUE(QTest::qWaitForWindowExposed(host.View(*d)));
    }
    return d;
  }
  template <typename W>
  W* Widget(Dialog& d, int id) {
    W* w = host.View(d)->findChild<W*>(QString::number(id));
    EXPECT_NE(w, nullptr) << "no widget " << id;
    return w;
  }

  platform::FakeClock clock;
  QtHost host;
};

TEST(NetworkInfoQt, KeysOnTheStripAndInAPage) {
  NetworkInfoQtHost q;
  Dialog* d = q.Open(1033);
  ASSERT_NE(d, nullptr);
  auto* bar = q.Widget<QTabBar>(*d, IDC_NETWORK_INFO_TABS);
  ASSERT_NE(bar, nullptr);
  EXPECT_EQ(bar->count(), 3);
  Dialog* general = q.host.FindDialog(IDD_GENERAL_PAGE);
  Dialog* iface = q.host.FindDialog(IDD_INTERFACE_PAGE);
  ASSERT_TRUE(general && iface);
  EXPECT_TRUE(q.host.View(*general)->isVisible());
  EXPECT_FALSE(q.host.View(*iface)->isVisible());

  // The strip's keys follow the host's rule, not the bar's own.
  QTest::keyClick(bar, Qt::Key_Right);
  q.host.ProcessEvents();
  EXPECT_EQ(d->Selection(IDC_NETWORK_INFO_TABS), 1);
  EXPECT_EQ(bar->currentIndex(), 1);
  EXPECT_FALSE(q.host.View(*general)->isVisible());
  EXPECT_TRUE(q.host.View(*iface)->isVisible());
  QTest::keyClick(bar, Qt::Key_PageUp);
  QTest::keyClick(bar, Qt::Key_PageUp);
  q.host.ProcessEvents();
  EXPECT_EQ(bar->currentIndex(), 2) << "no tab past the last";
  QTest::keyClick(bar, Qt::Key_Left);
  q.host.ProcessEvents();
  EXPECT_EQ(bar->currentIndex(), 1);

  // Down enters the page; Enter there is no OK, Esc there no Cancel.
  QTest::keyClick(bar, Qt::Key_Down);
  q.host.ProcessEvents();
  auto* dns = q.Widget<QListWidget>(*iface, IDC_DNS_LIST);
  ASSERT_NE(dns, nullptr);
  EXPECT_EQ(iface->Focus(), IDC_DNS_LIST);
  QTest::keyClick(dns, Qt::Key_Return);
  q.host.ProcessEvents();
  EXPECT_FALSE(d->Ended());
  QTest::keyClick(dns, Qt::Key_Escape);
  q.host.ProcessEvents();
  EXPECT_FALSE(d->Ended());
  EXPECT_EQ(d->Focus(), IDC_NETWORK_INFO_TABS);
  EXPECT_EQ(q.host.View(*d)->focusWidget(), bar);
  // Esc on the strip closes the window.
  QTest::keyClick(bar, Qt::Key_Escape);
  q.host.ProcessEvents();
  EXPECT_EQ(q.host.FindDialog(IDD_NETWORK_INFO), nullptr);
}

// The pages of a configured adapter, as the tunnel service leaves it.
class NetworkInfoQtLive : public vqtest::NetnsTest {
 protected:
  void SetUp() override {
    NetnsTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    LogInit(nullptr);
    ASSERT_EQ(InstallAdapter("vqtun0"), 0);
    const uint32_t index = net::InterfaceIndex("vqtun0");
    ASSERT_EQ(platform::tun::OpenTun("vqtun0", device_), 0u);
    ASSERT_EQ(net::SetLinkUp(index, true), 0u);
    ASSERT_EQ(net::SetInterfaceAddress(index, {A("10.8.0.2"), A("255.255.255.0"), 0}), 0u);
    for (const char* dest : {"192.168.50.0", "172.16.0.0"}) {
      net::IpForwardRow route;
      route.dest = A(dest);
      route.mask = A(dest[0] == '1' && dest[1] == '9' ? "255.255.255.0" : "255.240.0.0");
      route.nextHop = A("10.8.0.1");
      route.ifIndex = index;
      route.metric1 = 1;
      ASSERT_EQ(net::CreateIpForwardEntry(route), 0u);
    }
    ASSERT_EQ(net::OpenDnsResolver()->SetDnsServers("vqtun0", {A("10.8.0.53"), A("10.8.0.63")}), 0u);
    net::RecordWinsServer("vqtun0", A("10.8.0.54"));
    // Qt's threads start only once the namespace set-up ran its programs.
    q_ = std::make_unique<NetworkInfoQtHost>();
  }
  void TearDown() override {
    q_.reset();
    device_.reset();
    LogCleanup();
    NetnsTest::TearDown();
  }

  std::unique_ptr<platform::tun::Device> device_;
  std::unique_ptr<NetworkInfoQtHost> q_;
};

TEST_F(NetworkInfoQtLive, ScreenshotsOfThePages) {
  const std::string dir = VQ_SCREENSHOT_DIR;
  std::filesystem::create_directories(dir);
  const char* names[] = {"general", "interface", "route"};
  for (uint16_t language : {1033, 2052}) {
    Dialog* d = q_->Open(language);
    ASSERT_NE(d, nullptr);
    Dialog* iface = q_->host.FindDialog(IDD_INTERFACE_PAGE);
    Dialog* route = q_->host.FindDialog(IDD_ROUTE_PAGE);
    ASSERT_TRUE(iface && route);
    EXPECT_EQ(iface->Text(IDC_NETWORK_ADDRESS), "10.8.0.2");
    EXPECT_EQ(route->RowCount(IDC_ROUTE_LIST), 3);
    for (int tab = 0; tab < 3; ++tab) {
      ASSERT_TRUE(d->UserSelect(IDC_NETWORK_INFO_TABS, tab));
      q_->host.ProcessEvents();
      const std::string path = dir + "/network_info_" + names[tab] + "_" + std::to_string(language) + ".png";
      std::filesystem::remove(path);
      ASSERT_TRUE(q_->host.Screenshot(*d, path));
      EXPECT_GT(std::filesystem::file_size(path), 2000u) << path;
    }
    d->EndDialog(IDOK);
    q_->host.ProcessEvents();
  }
}

}  // namespace
