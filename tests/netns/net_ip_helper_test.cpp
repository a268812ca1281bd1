// The address and route tables over rtnetlink, against what `ip` does.
#include "platform/net/ip_helper.h"

#include <net/if.h>

#include <algorithm>
#include <optional>

#include "netns/netns_fixture.h"
#include "platform/net/net_error.h"
#include "platform/win32/win32_error.h"

namespace {

namespace net = platform::net;

class NetIpHelperTest : public vqtest::NetnsTest {
 protected:
  static std::vector<net::IpForwardRow> Routes() {
    std::vector<net::IpForwardRow> rows;
    EXPECT_EQ(net::GetIpForwardTable(rows, true), 0u);
    return rows;
  }
  static std::optional<net::IpForwardRow> Find(const std::vector<net::IpForwardRow>& rows, uint32_t dest,
                                               uint32_t mask) {
    auto it = std::find_if(rows.begin(), rows.end(),
                           [&](const net::IpForwardRow& r) { return r.dest == dest && r.mask == mask; });
    return it == rows.end() ? std::nullopt : std::optional(*it);
  }
  uint32_t veth_ = 0;

  void SetUp() override {
    NetnsTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    veth_ = if_nametoindex("vqc0");
    ASSERT_NE(veth_, 0u);
  }
};

TEST_F(NetIpHelperTest, AddressTableReadsWhatIpMade) {
  // Broadcast with the host part all ones, all zeros, and none at all.
  ASSERT_EQ(Ip({"addr", "add", "10.77.1.9/20", "brd", "+", "dev", "vqc0"}), 0);
  ASSERT_EQ(Ip({"addr", "add", "10.99.0.1/24", "brd", "10.99.0.0", "dev", "vqc0"}), 0);
  ASSERT_EQ(Ip({"addr", "add", "10.88.0.1/24", "dev", "vqc0"}), 0);
  std::vector<net::IpAddrRow> rows;
  ASSERT_EQ(net::GetIpAddrTable(rows), 0u);
  auto find = [&](const char* addr, const char* mask, uint32_t index) -> const net::IpAddrRow* {
    auto it = std::find_if(rows.begin(), rows.end(), [&](const net::IpAddrRow& r) {
      return r.addr == A(addr) && r.mask == A(mask) && r.ifIndex == index;
    });
    return it == rows.end() ? nullptr : &*it;
  };
  EXPECT_NE(find("127.0.0.1", "255.0.0.0", 1), nullptr);
  EXPECT_NE(find("10.123.0.2", "255.255.255.0", veth_), nullptr);
  const struct {
    const char* addr;
    const char* mask;
    uint32_t bcast;
  } ours[] = {{"10.77.1.9", "255.255.240.0", 1}, {"10.99.0.1", "255.255.255.0", 0}, {"10.88.0.1", "255.255.255.0", 0}};
  for (const auto& c : ours) {
    SCOPED_TRACE(c.addr);
    const net::IpAddrRow* row = find(c.addr, c.mask, veth_);
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->bcastAddr, c.bcast);
    EXPECT_EQ(row->reasmSize, 0xFFFFu);
  }
  EXPECT_EQ(rows.size(), 5u);
}

TEST_F(NetIpHelperTest, RouteTableReadsWhatIpMade) {
  ASSERT_EQ(Ip({"route", "add", "10.50.0.0/16", "via", "10.123.0.1", "metric", "7"}), 0);
  const std::vector<net::IpForwardRow> rows = Routes();
  const std::optional<net::IpForwardRow> def = Find(rows, 0, 0);
  ASSERT_TRUE(def.has_value());
  EXPECT_EQ(def->nextHop, A("10.123.0.1"));
  EXPECT_EQ(def->type, net::kRouteTypeIndirect);
  const std::optional<net::IpForwardRow> onLink = Find(rows, A("10.123.0.0"), A("255.255.255.0"));
  ASSERT_TRUE(onLink.has_value());
  EXPECT_EQ(onLink->nextHop, 0u);
  EXPECT_EQ(onLink->type, net::kRouteTypeDirect);
  EXPECT_EQ(onLink->ifIndex, veth_);
  const std::optional<net::IpForwardRow> added = Find(rows, A("10.50.0.0"), A("255.255.0.0"));
  ASSERT_TRUE(added.has_value());
  EXPECT_EQ(added->metric1, 7u);
  EXPECT_EQ(added->proto, net::kRouteProtoLocal);  // not one of ours
  // Sorted by destination as a number.
  EXPECT_EQ(rows.front().dest, 0u);
  EXPECT_TRUE(std::is_sorted(rows.begin(), rows.end(), [](const net::IpForwardRow& a, const net::IpForwardRow& b) {
    return ntohl(a.dest) < ntohl(b.dest);
  }));
  // Local-table routes (the addresses themselves) are not in the main table.
  EXPECT_FALSE(Find(rows, A("10.123.0.2"), A("255.255.255.255")).has_value());
}

TEST_F(NetIpHelperTest, CreateSetMetricDelete) {
  net::IpForwardRow row;
  row.dest = A("10.60.0.0");
  row.mask = A("255.255.0.0");
  row.nextHop = A("10.123.0.1");
  row.ifIndex = veth_;
  row.metric1 = 5;
  ASSERT_EQ(net::CreateIpForwardEntry(row), 0u);
  const std::optional<net::IpForwardRow> made = Find(Routes(), row.dest, row.mask);
  ASSERT_TRUE(made.has_value());
  EXPECT_EQ(made->proto, net::kRouteProtoNetMgmt);
  EXPECT_EQ(made->metric1, 5u);
  EXPECT_EQ(made->ifIndex, veth_);

  row.metric1 = 9;
  ASSERT_EQ(net::SetIpForwardEntry(row), 0u);
  std::vector<net::IpForwardRow> rows = Routes();
  EXPECT_EQ(std::count_if(rows.begin(), rows.end(), [&](const net::IpForwardRow& r) { return r.dest == row.dest; }),
            1);
  ASSERT_TRUE(Find(rows, row.dest, row.mask).has_value());
  EXPECT_EQ(Find(rows, row.dest, row.mask)->metric1, 9u);
  EXPECT_EQ(Find(rows, row.dest, row.mask)->proto, net::kRouteProtoNetMgmt);

  // The metric of a route somebody else made changes too, and it stays theirs.
  net::IpForwardRow def = *Find(rows, 0, 0);
  def.metric1 = 300;
  ASSERT_EQ(net::SetIpForwardEntry(def), 0u);
  EXPECT_EQ(Find(Routes(), 0, 0)->metric1, 300u);
  EXPECT_EQ(Find(Routes(), 0, 0)->proto, net::kRouteProtoLocal);

  ASSERT_EQ(net::DeleteIpForwardEntry(row), 0u);
  EXPECT_FALSE(Find(Routes(), row.dest, row.mask).has_value());
}

TEST_F(NetIpHelperTest, ErrorCodes) {
  net::IpForwardRow row;
  row.dest = A("10.61.0.0");
  row.mask = A("255.255.0.0");
  row.nextHop = A("10.123.0.1");
  row.ifIndex = veth_;
  row.metric1 = 3;
  ASSERT_EQ(net::CreateIpForwardEntry(row), 0u);
  EXPECT_EQ(net::CreateIpForwardEntry(row), net::ERROR_OBJECT_ALREADY_EXISTS);
  // Another gateway for the same destination and metric: the metric is taken.
  net::IpForwardRow other = row;
  other.nextHop = A("10.123.0.9");
  EXPECT_EQ(net::CreateIpForwardEntry(other), net::ERROR_BAD_ARGUMENTS);
  ASSERT_EQ(net::DeleteIpForwardEntry(row), 0u);
  EXPECT_EQ(net::DeleteIpForwardEntry(row), net::ERROR_NOT_FOUND);
  EXPECT_EQ(net::SetIpForwardEntry(row), net::ERROR_NOT_FOUND);

  struct Case {
    const char* what;
    const char* dest;
    const char* mask;
    const char* gateway;
  };
  for (const Case& c : {Case{"unreachable gateway", "10.62.0.0", "255.255.0.0", "10.99.0.1"},
                        Case{"host bits under the mask", "10.62.0.1", "255.255.0.0", "10.123.0.1"},
                        Case{"mask with holes", "10.62.0.0", "255.0.255.0", "10.123.0.1"}}) {
    SCOPED_TRACE(c.what);
    net::IpForwardRow bad = row;
    bad.dest = A(c.dest);
    bad.mask = A(c.mask);
    bad.nextHop = A(c.gateway);
    EXPECT_EQ(net::CreateIpForwardEntry(bad), platform::ERROR_INVALID_PARAMETER);
  }
}

TEST_F(NetIpHelperTest, DirectRouteAndBestRoute) {
  net::IpForwardRow row;
  row.dest = A("10.63.0.0");
  row.mask = A("255.255.255.0");
  row.ifIndex = veth_;
  row.type = net::kRouteTypeDirect;
  row.nextHop = A("10.123.0.2");  // the interface's own address: on-link
  row.metric1 = 1;
  ASSERT_EQ(net::CreateIpForwardEntry(row), 0u);
  net::IpForwardRow best;
  ASSERT_EQ(net::GetBestRoute(A("10.63.0.77"), best), 0u);
  EXPECT_EQ(best.dest, row.dest);
  EXPECT_EQ(best.mask, row.mask);
  EXPECT_EQ(best.type, net::kRouteTypeDirect);
  EXPECT_EQ(best.proto, net::kRouteProtoNetMgmt);
  ASSERT_EQ(net::GetBestRoute(A("192.0.2.200"), best), 0u);
  EXPECT_EQ(best.dest, 0u);
  EXPECT_EQ(best.nextHop, A("10.123.0.1"));

  ASSERT_EQ(Ip({"route", "del", "default"}), 0);
  EXPECT_EQ(net::GetBestRoute(A("192.0.2.200"), best), net::ERROR_NOT_FOUND);
  ASSERT_EQ(net::DeleteIpForwardEntry(row), 0u);
  EXPECT_EQ(net::GetBestRoute(A("10.63.0.77"), best), net::ERROR_NOT_FOUND);
}

}  // namespace
