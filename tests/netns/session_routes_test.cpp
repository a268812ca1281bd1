// The system's default routes around a session that routes everything
// through the tunnel: demoted once, restored exactly at close, and restored
// at the next start when the service died while connected.
#include "Brindleway/adapter/session_routes.h"

#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <optional>

#include "netns/tunnel_adapter_fixture.h"
#include "platform/net/interface_address.h"
#include "platform/net/link.h"
#include "platform/tun/tun.h"
#include "support/log.h"

namespace {

namespace net = platform::net;
using brindleway::RouteRecord;
using brindleway::SessionRoutes;

class SessionRoutesTest : public vqtest::TunnelAdapterTest {
 protected:
  void SetUp() override {
    TunnelAdapterTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    GiveAddress();
    if (HasFatalFailure()) return;
    // Beside the namespace's own default route (via 10.123.0.1, metric 0):
    // one of metric 20 that stays, and a direct one that must go.
    for (const std::string d : {"d1", "d2"}) {
      ASSERT_EQ(Ip({"link", "add", d, "type", "veth", "peer", "name", d + "p"}), 0);
      ASSERT_EQ(Ip({"link", "set", d, "up"}), 0);
      ASSERT_EQ(Ip({"link", "set", d + "p", "up"}), 0);
    }
    ASSERT_EQ(Ip({"addr", "add", "10.50.0.2/24", "dev", "d1"}), 0);
    ASSERT_EQ(Ip({"route", "add", "default", "via", "10.50.0.1", "dev", "d1", "metric", "20"}), 0);
    ASSERT_EQ(Ip({"route", "add", "default", "dev", "d2", "metric", "5"}), 0);
    before_ = Defaults();
    ASSERT_EQ(before_.size(), 3u);
  }
  // Every default route: (interface, next hop, metric), sorted.
  static std::vector<std::tuple<uint32_t, uint32_t, uint32_t>> Defaults() {
    std::vector<net::IpForwardRow> rows;
    EXPECT_EQ(net::GetIpForwardTable(rows, true), 0u);
    std::vector<std::tuple<uint32_t, uint32_t, uint32_t>> out;
    for (const auto& r : rows) {
      if (r.dest == 0 && r.mask == 0) out.emplace_back(r.ifIndex, r.nextHop, r.metric1);
    }
    std::sort(out.begin(), out.end());
    return out;
  }
  std::optional<uint32_t> MetricVia(const char* nextHop) const {
    for (const auto& [ifIndex, hop, metric] : Defaults()) {
      if (hop == A(nextHop)) return metric;
    }
    return std::nullopt;
  }
  bool DirectDefaultOn(const char* ifname) const {
    const uint32_t index = net::InterfaceIndex(ifname);
    for (const auto& [ifIndex, hop, metric] : Defaults()) {
      if (ifIndex == index && hop == 0) return true;
    }
    return false;
  }
  RouteRecord TunnelDefault(uint32_t metric) const {
    RouteRecord r;
    r.nextHop = tun_.remoteAddress;
    r.ifIndex = tun_.ifIndex;
    r.type = net::kRouteTypeIndirect;
    r.metric = metric;
    return r;
  }

  std::recursive_mutex lock_;
  std::vector<std::tuple<uint32_t, uint32_t, uint32_t>> before_;
};

TEST_F(SessionRoutesTest, TwoTunnelDefaultsDemoteOnceAndCloseRestoresExactly) {
  SessionRoutes routes(lock_);
  std::vector<RouteRecord> list{TunnelDefault(1), TunnelDefault(3)};
  ASSERT_EQ(routes.InstallRoutes(list, &tun_), 0);
  EXPECT_EQ(MetricVia("10.123.0.1"), 2u);   // 0 <= 1: raised to 1 + 1
  EXPECT_EQ(MetricVia("10.50.0.1"), 20u);   // above the tunnel's: untouched
  EXPECT_FALSE(DirectDefaultOn("d2"));      // direct: deleted
  EXPECT_EQ(MetricVia("10.9.0.1"), 1u);
  EXPECT_EQ(routes.SavedDefaultRoutes().size(), 2u);
  std::ifstream state(brindleway::SavedDefaultRoutesPath());
  EXPECT_TRUE(state.good());

  routes.DeleteRoutes(list);
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(Defaults(), before_);
  EXPECT_FALSE(std::ifstream(brindleway::SavedDefaultRoutesPath()).good());
}

TEST_F(SessionRoutesTest, AServiceKilledWhileConnectedRestoresAtItsNextStart) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The service connects and dies without its close.
    std::recursive_mutex lock;
    SessionRoutes routes(lock);
    std::vector<RouteRecord> list{TunnelDefault(1)};
    _exit(routes.InstallRoutes(list, &tun_) == 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(MetricVia("10.123.0.1"), 2u);
  EXPECT_FALSE(DirectDefaultOn("d2"));

  EXPECT_EQ(brindleway::RestoreSavedDefaultRoutes(), 2);
  ASSERT_EQ(Ip({"route", "del", "default", "via", "10.9.0.1"}), 0);
  EXPECT_EQ(Defaults(), before_);
  // Nothing is restored twice.
  EXPECT_EQ(brindleway::RestoreSavedDefaultRoutes(), 0);
}

TEST_F(SessionRoutesTest, ARouteThatNeverWentInIsOnlyDropped) {
  SessionRoutes routes(lock_);
  RouteRecord pending = TunnelDefault(1);
  pending.destination = A("10.77.0.0");
  pending.mask = A("255.255.0.0");
  ASSERT_EQ(Ip({"route", "add", "10.77.0.0/16", "via", "10.9.0.1"}), 0);
  std::vector<RouteRecord> list{pending};  // flag still 1: not added by us
  EXPECT_EQ(routes.DeleteRoutes(list), 0);
  EXPECT_TRUE(list.empty());
  std::vector<net::IpForwardRow> rows;
  ASSERT_EQ(net::GetIpForwardTable(rows, true), 0u);
  EXPECT_TRUE(std::any_of(rows.begin(), rows.end(), [&](const auto& r) { return r.dest == A("10.77.0.0"); }));
}

}  // namespace
