// Compression negotiated with the test gateway, whose own IPComp code is
// written apart from the client's: compressible traffic crosses the tunnel
// both ways compressed and arrives byte-identical; the statistics of the
// status reply move; traffic that does not compress goes as it is.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "Brindleway/common/channel_ops.h"
#include "Brindleway/datapath/traffic_counters.h"
#include "Brindleway/datapath/tun_io_loop.h"
#include "data_path_fixture.h"
#include "ipv4_test_packets.h"

namespace brindleway {
namespace {

using dptest::DataPathFixture;
using vqtest::Eventually;

constexpr uint16_t kGatewayCpi = 0x0321;
constexpr uint16_t kClientCpi = 0x1234;
constexpr uint16_t kZlib = 2;

// A TCP-sized packet whose payload is text-like (compressible) or random.
std::vector<uint8_t> Packet(const char* source, const char* destination, uint16_t id, bool compressible) {
  std::vector<uint8_t> p = iptest::Ipv4({.source = source, .destination = destination, .protocol = 17,
                                         .payload = 1200, .id = id});
  std::mt19937 random(id);
  const char* text = "GET /portal/index.html HTTP/1.1\r\nHost: portal.example\r\nAccept: */*\r\n";
  for (size_t i = 20; i < p.size(); ++i) {
    p[i] = compressible ? static_cast<uint8_t>(text[(i - 20) % 66]) : static_cast<uint8_t>(random());
  }
  return p;
}

class IpCompTunnelTest : public DataPathFixture {
 protected:
  void SetUp() override {
    DataPathFixture::SetUp();
    TheIpComp().SetOwnCpi(kClientCpi);
    TheIpComp().SetPeerCpi(kGatewayCpi);
    TheIpComp().SetAlgorithm(kZlib);
    vqgateway::UdpDataPlaneOptions options;
    options.ipcomp = true;
    options.gatewayCpi = kGatewayCpi;
    options.clientCpi = kClientCpi;
    StartGateway(options);
    loop_.Start(ctx_);
    ASSERT_TRUE(Eventually([&] { return loop_.Running(); }));
  }
  void TearDown() override {
    loop_.Stop();
    TheIpComp().Reset();
    DataPathFixture::TearDown();
  }

  platform::Event stop_{platform::Event::Reset::Manual};
  TunIoLoopThread loop_{stop_};
};

TEST_F(IpCompTunnelTest, CompressibleTrafficCrossesCompressedBothWays) {
  std::vector<std::vector<uint8_t>> sent;
  for (uint16_t id = 1; id <= 20; ++id) {
    sent.push_back(Packet("10.1.0.5", "192.168.50.7", id, true));
    KernelSends(sent.back());
  }
  ASSERT_TRUE(Eventually([&] { return GatewayTraffic().size() == sent.size(); }));
  EXPECT_EQ(GatewayTraffic(), sent);
  EXPECT_EQ(gateway_->Stats().inflated, 20);
  EXPECT_EQ(gateway_->Stats().ipcompFailures, 0);

  for (uint16_t id = 100; id < 110; ++id) {
    const std::vector<uint8_t> reply = Packet("192.168.50.7", "10.1.0.5", id, true);
    ASSERT_TRUE(gateway_->SendInner(reply));
    EXPECT_EQ(KernelReceives(), reply);
  }
  EXPECT_EQ(gateway_->Stats().deflated, 10);

  ChannelStatus status;
  FillTrafficStatus(status);
  EXPECT_EQ(status.compression0, kZlib);
  EXPECT_EQ(status.compression[0], 10u * 1200);  // inbound after decompression
  EXPECT_GT(status.compression[1], 0u);          // inbound gained
  EXPECT_EQ(status.compression[2], 20u * 1200);  // outbound before compression
  EXPECT_GT(status.compression[3], 20u * 600);   // outbound saved: text compresses well
}

TEST_F(IpCompTunnelTest, IncompressibleTrafficGoesAsItIs) {
  const std::vector<uint8_t> noise = Packet("10.1.0.5", "192.168.50.7", 7, false);
  KernelSends(noise);
  ASSERT_TRUE(Eventually([&] { return GatewayTraffic().size() == 1; }));
  EXPECT_EQ(GatewayTraffic()[0], noise);
  EXPECT_EQ(gateway_->Stats().inflated, 0);
  ChannelStatus status;
  FillTrafficStatus(status);
  EXPECT_EQ(status.compression[2], 0u);
  EXPECT_EQ(status.compression[3], 0u);
}

}  // namespace
}  // namespace brindleway
