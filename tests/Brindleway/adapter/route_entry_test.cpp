// The route code's retry ladder against a scripted route layer.
#include "Brindleway/adapter/route_entry.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <deque>

#include "common/log_reader.h"
#include "common/temp_root.h"
#include "platform/net/net_error.h"
#include "platform/win32/win32_error.h"
#include "support/log.h"

namespace {

namespace net = platform::net;
using brindleway::RouteRecord;

constexpr uint32_t k160 = net::ERROR_BAD_ARGUMENTS;
constexpr uint32_t k87 = platform::ERROR_INVALID_PARAMETER;
constexpr uint32_t k5010 = net::ERROR_OBJECT_ALREADY_EXISTS;

// Answers the creates from a script (then its last answer for ever) and
// records what was asked.
class FakeRouteLayer {
 public:
  brindleway::RouteOps Ops(bool vista, uint32_t lookup = 0) {
    brindleway::RouteOps ops;
    ops.createRoute = [this](const net::IpForwardRow& row) {
      metrics.push_back(row.metric1);
      const uint32_t answer = script.front();
      if (script.size() > 1) script.pop_front();
      return answer;
    };
    ops.deleteRoute = [this](const net::IpForwardRow& row) {
      deleted.push_back(row);
      return deleteAnswer;
    };
    ops.getForwardTable = [this](std::vector<net::IpForwardRow>& rows, bool) {
      rows = table;
      return tableAnswer;
    };
    ops.getAddrTable = [](std::vector<net::IpAddrRow>& rows) {
      rows = {{::inet_addr("10.9.0.2"), ::inet_addr("255.255.255.0"), 7, 1, 0x2400}};
      return 0u;
    };
    ops.getIpInterfaceEntry = [lookup](uint32_t) { return lookup; };
    ops.setIpAddress = [this](const brindleway::TunDevice&) {
      ++addressSets;
      return addressAnswer;
    };
    ops.sleep = [this](std::chrono::milliseconds pause) { pauses.push_back(pause); };
    ops.isVistaOrLater = [vista] { return vista; };
    return ops;
  }

  std::deque<uint32_t> script = {0};
  std::vector<uint32_t> metrics;
  std::vector<net::IpForwardRow> deleted;
  uint32_t deleteAnswer = 0;
  std::vector<net::IpForwardRow> table;
  uint32_t tableAnswer = 0;
  int addressSets = 0;
  uint32_t addressAnswer = 0;
  std::vector<std::chrono::milliseconds> pauses;
};

class RouteLadderTest : public ::testing::Test {
 protected:
  void SetUp() override { LogInit(nullptr); }
  void TearDown() override { LogCleanup(); }

  static RouteRecord Record(uint32_t metric) {
    RouteRecord r;
    r.destination = ::inet_addr("10.80.0.0");
    r.mask = ::inet_addr("255.255.0.0");
    r.nextHop = ::inet_addr("10.9.0.1");
    r.ifIndex = 7;
    r.type = 4;
    r.metric = metric;
    return r;
  }

  vqtest::TempRoot root_;
  FakeRouteLayer layer_;
  brindleway::TunDevice tun_;
};

TEST_F(RouteLadderTest, MetricZeroStandsForOne) {
  struct Case {
    const char* what;
    bool vista;
    uint32_t lookup;
    uint32_t stored;
  };
  for (const Case& c : {Case{"before Vista", false, 0, 1}, Case{"Vista, interface not found", true, 1168, 1},
                        Case{"Vista, interface found: as given", true, 0, 0}}) {
    SCOPED_TRACE(c.what);
    FakeRouteLayer layer;
    RouteRecord route = Record(0);
    EXPECT_EQ(brindleway::AddRouteEntry(route, &tun_, layer.Ops(c.vista, c.lookup)), 0);
    EXPECT_EQ(route.flag, 0u);
    EXPECT_EQ(layer.metrics, std::vector<uint32_t>{c.stored});
  }
}

TEST_F(RouteLadderTest, RefusedMetricsClimbToTheFirstTaken) {
  layer_.script = {k160, k160, k160, k160, 0};
  RouteRecord route = Record(3);
  EXPECT_EQ(brindleway::AddRouteEntry(route, &tun_, layer_.Ops(true)), 0);
  EXPECT_EQ(route.flag, 0u);
  // The first create, then the same metric again inside the ladder.
  EXPECT_EQ(layer_.metrics, (std::vector<uint32_t>{3, 3, 4, 5, 6}));
  EXPECT_TRUE(layer_.pauses.empty());
}

TEST_F(RouteLadderTest, MetricsNeverPass2048) {
  layer_.script = {k160};
  RouteRecord route = Record(2040);
  testing::internal::CaptureStdout();
  EXPECT_EQ(brindleway::AddRouteEntry(route, &tun_, layer_.Ops(true)), -1);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(route.flag, brindleway::kRouteToAdd);
  for (uint32_t m : layer_.metrics) EXPECT_LE(m, brindleway::kRouteMaxMetric);
  EXPECT_EQ(layer_.metrics.back(), brindleway::kRouteMaxMetric);
  EXPECT_EQ(layer_.pauses.size(), 3u);
}

TEST_F(RouteLadderTest, BeforeVistaARefusedMetricIsNotClimbed) {
  layer_.script = {k160, k160, 0};
  RouteRecord route = Record(3);
  EXPECT_EQ(brindleway::AddRouteEntry(route, &tun_, layer_.Ops(false)), 0);
  EXPECT_EQ(layer_.metrics, (std::vector<uint32_t>{3, 3, 3}));
  EXPECT_EQ(layer_.pauses, (std::vector<std::chrono::milliseconds>(2, brindleway::kRouteRetryPause)));
}

TEST_F(RouteLadderTest, NoAddressYetSetsItThenTries) {
  layer_.script = {k87, 0};
  RouteRecord route = Record(1);
  EXPECT_EQ(brindleway::AddRouteEntry(route, &tun_, layer_.Ops(true)), 0);
  EXPECT_EQ(layer_.addressSets, 1);
  EXPECT_EQ(layer_.pauses.size(), 1u);
}

TEST_F(RouteLadderTest, AlreadyThereCountsAsAdded) {
  for (auto script : {std::deque<uint32_t>{k5010}, std::deque<uint32_t>{k87, k5010}}) {
    FakeRouteLayer layer;
    layer.script = script;
    RouteRecord route = Record(1);
    EXPECT_EQ(brindleway::AddRouteEntry(route, &tun_, layer.Ops(true)), 0);
    EXPECT_EQ(route.flag, 0u);
  }
}

TEST_F(RouteLadderTest, ThreeFailedPassesGiveUpWithTheAddressTable) {
  layer_.script = {k87};
  layer_.addressAnswer = 5;
  RouteRecord route = Record(2);
  testing::internal::CaptureStdout();
  EXPECT_EQ(brindleway::AddRouteEntry(route, &tun_, layer_.Ops(true)), -1);
  const std::string table = testing::internal::GetCapturedStdout();
  EXPECT_EQ(route.flag, brindleway::kRouteToAdd);
  EXPECT_EQ(layer_.metrics.size(), 4u);  // the first create and one a pass
  EXPECT_EQ(layer_.addressSets, 3);
  EXPECT_EQ(layer_.pauses.size(), 3u);
  EXPECT_EQ(table,
            "===========================================================\n"
            "\tAddress: 200090a\n\tMask:    ffffff\n\tIndex:   7\n\tBCast:   1\n\tReasm:   2400\n");
  LogCleanup();
  const std::string log = vqtest::ReadLogText();
  EXPECT_NE(log.find("Set IP address failed"), std::string::npos);
  EXPECT_NE(log.find("Add route entry (173015040/4294901760, gateway 168361985, metric 2, ifindex 7) failed: 87"),
            std::string::npos);
}

TEST_F(RouteLadderTest, ClearDeletesOnlyOwnGatewayRoutesOfTheInterface) {
  tun_.ifIndex = 7;
  auto row = [](uint32_t ifIndex, uint32_t type, uint32_t proto, const char* dest) {
    net::IpForwardRow r;
    r.dest = ::inet_addr(dest);
    r.mask = ::inet_addr("255.255.0.0");
    r.ifIndex = ifIndex;
    r.type = type;
    r.proto = proto;
    return r;
  };
  layer_.table = {row(7, 4, 3, "10.1.0.0"), row(7, 3, 3, "10.2.0.0"), row(7, 4, 2, "10.3.0.0"),
                  row(8, 4, 3, "10.4.0.0"), row(7, 4, 3, "10.5.0.0")};
  layer_.deleteAnswer = 5;
  EXPECT_EQ(brindleway::ClearInterfaceRoutes(&tun_, layer_.Ops(true)), 0);
  ASSERT_EQ(layer_.deleted.size(), 2u);
  EXPECT_EQ(layer_.deleted[0].dest, ::inet_addr("10.1.0.0"));
  EXPECT_EQ(layer_.deleted[1].dest, ::inet_addr("10.5.0.0"));
  LogCleanup();
  EXPECT_NE(vqtest::ReadLogText().find("Delete interface route 10.1.0.0/255.255.0.0 failed."), std::string::npos);

  layer_.tableAnswer = 31;
  EXPECT_EQ(brindleway::ClearInterfaceRoutes(&tun_, layer_.Ops(true)), -2);
}

}  // namespace
