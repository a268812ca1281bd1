// Route records added to and deleted from the kernel's table, and the
// interface's leftovers cleared.
#include "Brindleway/adapter/route_entry.h"

#include <algorithm>

#include "common/log_reader.h"
#include "netns/tunnel_adapter_fixture.h"
#include "platform/net/interface_address.h"
#include "platform/net/link.h"
#include "platform/tun/tun.h"
#include "support/log.h"
#include "support/os_version.h"
#include "support/registry_helpers.h"

namespace {

namespace net = platform::net;
using brindleway::RouteRecord;

class RouteEntryTest : public vqtest::TunnelAdapterTest {
 protected:
  void SetUp() override {
    TunnelAdapterTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    ops_ = brindleway::SystemRouteOps();
    ops_.sleep = [this](std::chrono::milliseconds) { ++sleeps_; };
  }

  RouteRecord Record(const char* dest, const char* mask, uint32_t metric) const {
    RouteRecord r;
    r.destination = A(dest);
    r.mask = A(mask);
    r.nextHop = tun_.remoteAddress;
    r.ifIndex = tun_.ifIndex;
    r.type = net::kRouteTypeIndirect;
    r.metric = metric;
    return r;
  }

  static std::optional<net::IpForwardRow> Find(uint32_t dest, uint32_t mask) {
    std::vector<net::IpForwardRow> rows;
    EXPECT_EQ(net::GetIpForwardTable(rows, true), 0u);
    for (const auto& r : rows) {
      if (r.dest == dest && r.mask == mask) return r;
    }
    return std::nullopt;
  }

  brindleway::RouteOps ops_;
  int sleeps_ = 0;
};

TEST_F(RouteEntryTest, AddThenDelete) {
  GiveAddress();
  ASSERT_EQ(RegWriteProductValue(kOsVersionValue, "5.1"), 0);
  RouteRecord route = Record("10.80.0.0", "255.255.0.0", 0);
  ASSERT_EQ(brindleway::AddRouteEntry(route, &tun_, ops_), 0);
  EXPECT_EQ(route.flag, 0u);
  auto row = Find(route.destination, route.mask);
  ASSERT_TRUE(row.has_value());
  EXPECT_EQ(row->metric1, 1u);  // metric 0 stands for 1
  EXPECT_EQ(row->proto, net::kRouteProtoNetMgmt);
  EXPECT_EQ(row->nextHop, tun_.remoteAddress);
  EXPECT_EQ(row->ifIndex, tun_.ifIndex);

  // Already there: added, without a pause.
  RouteRecord same = Record("10.80.0.0", "255.255.0.0", 0);
  EXPECT_EQ(brindleway::AddRouteEntry(same, &tun_, ops_), 0);
  EXPECT_EQ(same.flag, 0u);
  EXPECT_EQ(sleeps_, 0);

  ASSERT_EQ(brindleway::DeleteRouteEntry(route), 0);
  EXPECT_FALSE(Find(route.destination, route.mask).has_value());
  EXPECT_EQ(brindleway::DeleteRouteEntry(route), -1);
  LogCleanup();
  EXPECT_NE(vqtest::ReadLogText().find("Delete route entry failed: 1168"), std::string::npos);
}

TEST_F(RouteEntryTest, OnVistaTheMetricIsTakenAsGiven) {
  GiveAddress();
  RouteRecord route = Record("10.81.0.0", "255.255.0.0", 0);
  ASSERT_TRUE(IsVistaOrLater());
  ASSERT_EQ(brindleway::AddRouteEntry(route, &tun_, ops_), 0);
  EXPECT_EQ(Find(route.destination, route.mask)->metric1, 0u);
}

TEST_F(RouteEntryTest, AnInterfaceWithoutAddressGetsItThenTheRoute) {
  ASSERT_EQ(tun_.device->SetMediaStatus(true), 0u);
  RouteRecord route = Record("10.82.0.0", "255.255.0.0", 5);
  ASSERT_EQ(brindleway::AddRouteEntry(route, &tun_, ops_), 0);
  EXPECT_EQ(sleeps_, 1);
  EXPECT_EQ(Find(route.destination, route.mask)->metric1, 5u);
  std::vector<net::InterfaceAddress> addresses;
  ASSERT_EQ(net::GetInterfaceAddresses(tun_.ifIndex, addresses), 0u);
  ASSERT_EQ(addresses.size(), 1u);
  EXPECT_EQ(addresses[0].local, tun_.localAddress);
}

TEST_F(RouteEntryTest, ClearKeepsKernelDirectAndOtherInterfacesRoutes) {
  GiveAddress();
  const std::string own = "118";  // the system's route protocol
  ASSERT_EQ(Ip({"route", "add", "10.70.0.0/16", "via", "10.9.0.1", "proto", own}), 0);
  ASSERT_EQ(Ip({"route", "add", "10.71.0.0/16", "via", "10.9.0.1"}), 0);
  ASSERT_EQ(Ip({"route", "add", "10.72.0.0/16", "via", "10.123.0.1", "proto", own}), 0);
  ASSERT_EQ(Ip({"route", "add", "10.73.0.0/16", "dev", "vqtun0", "proto", own}), 0);

  ASSERT_EQ(brindleway::ClearInterfaceRoutes(&tun_), 0);
  EXPECT_FALSE(Find(A("10.70.0.0"), A("255.255.0.0")).has_value());
  EXPECT_TRUE(Find(A("10.71.0.0"), A("255.255.0.0")).has_value());
  EXPECT_TRUE(Find(A("10.72.0.0"), A("255.255.0.0")).has_value());
  EXPECT_TRUE(Find(A("10.73.0.0"), A("255.255.0.0")).has_value());
  EXPECT_TRUE(Find(A("10.9.0.0"), A("255.255.255.0")).has_value());  // the kernel's
  EXPECT_TRUE(Find(0, 0).has_value());
}

}  // namespace
