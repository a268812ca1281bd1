// What the Interface and Route pages make of the system's tables.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "client/ui/interface_page.h"
#include "client/ui/route_page.h"

namespace {

using namespace client;
namespace net = platform::net;

uint32_t A(const char* dotted) { return ::inet_addr(dotted); }

TEST(NetworkInfoRows, AdapterName) {
  const std::string long60(60, 'x');
  struct Case {
    std::string description;
    std::string shown;
  };
  const Case cases[] = {
      {"Tarnwickgate Virtual Network Adapter", "Tarnwickgate Virtual Network Adapter"},
      {"Tarnwickgate Adapter - Packet Scheduler Miniport", "Tarnwickgate Adapter "},
      {"-leading", ""},
      {long60, std::string(55, 'x') + "..."},
      {std::string(55, 'y'), std::string(55, 'y')},
      // A dash past the first 55 characters is no cut.
      {std::string(56, 'z') + "-tail", std::string(55, 'z') + "..."},
      {std::string(54, 'w') + "-tail", std::string(54, 'w')},
      // Counted in characters, never cut inside one.
      {std::string(60, 'a').replace(0, 1, "网"), "网" + std::string(54, 'a') + "..."},
  };
  for (const Case& c : cases) EXPECT_EQ(AdapterNameText(c.description), c.shown) << c.description;
}

TEST(NetworkInfoRows, AdapterTypeAndStatusTexts) {
  const std::pair<uint32_t, uint32_t> types[] = {{1, 1137}, {6, 1138}, {9, 1139}, {15, 1140}, {23, 1141},
                                                 {24, 1142}, {28, 1143}, {0, 1144},  {71, 1144}};
  for (auto [type, text] : types) EXPECT_EQ(AdapterTypeText(type), text) << type;
  const std::pair<uint32_t, uint32_t> states[] = {{0, 1136}, {2, 1136}, {4, 1135}, {5, 1135}, {1, 0}, {3, 0}, {9, 0}};
  for (auto [state, text] : states) EXPECT_EQ(AdapterStatusText(state), text) << state;
}

TEST(NetworkInfoRows, PhysicalAddress) {
  EXPECT_EQ(PhysicalAddressText({0x02, 0xab, 0x0c, 0xff, 0x10, 0x01}), "02-AB-0C-FF-10-01");
  EXPECT_EQ(PhysicalAddressText({}), "00-00-00-00-00-00");
  // Longer hardware addresses show their first six bytes.
  EXPECT_EQ(PhysicalAddressText({1, 2, 3, 4, 5, 6, 7, 8}), "01-02-03-04-05-06");
}

TEST(NetworkInfoRows, RoutesThroughTheAdapterInTableOrder) {
  auto route = [](const char* dest, const char* mask, const char* hop, uint32_t index, uint32_t metric) {
    net::IpForwardRow r;
    r.dest = A(dest);
    r.mask = A(mask);
    r.nextHop = A(hop);
    r.ifIndex = index;
    r.metric1 = metric;
    return r;
  };
  const std::vector<net::IpForwardRow> routes = {
      route("192.168.50.0", "255.255.255.0", "10.8.0.1", 7, 1),
      route("0.0.0.0", "0.0.0.0", "10.123.0.1", 2, 0),  // another link's
      route("10.8.0.0", "255.255.255.0", "0.0.0.0", 7, 0),
      route("172.16.0.0", "255.240.0.0", "10.8.0.1", 7, 4294967295u),
  };
  const std::vector<net::IpAddrRow> addresses = {{A("10.123.0.2"), A("255.255.255.0"), 2},
                                                 {A("10.8.0.2"), A("255.255.255.0"), 7},
                                                 {A("10.8.0.3"), A("255.255.255.0"), 7}};
  using Rows = std::vector<std::vector<std::string>>;
  EXPECT_EQ(RouteRows(routes, addresses, 7),
            (Rows{{"192.168.50.0", "255.255.255.0", "10.8.0.1", "10.8.0.2", "1"},
                  {"10.8.0.0", "255.255.255.0", "0.0.0.0", "10.8.0.2", "0"},
                  {"172.16.0.0", "255.240.0.0", "10.8.0.1", "10.8.0.2", "-1"}}));
  // No address on the interface: its index in hex.
  EXPECT_EQ(RouteRows({route("192.168.70.0", "255.255.255.0", "0.0.0.0", 26, 0)}, addresses, 26),
            (Rows{{"192.168.70.0", "255.255.255.0", "0.0.0.0", "1a", "0"}}));
  EXPECT_TRUE(RouteRows(routes, addresses, 9).empty());
}

}  // namespace
