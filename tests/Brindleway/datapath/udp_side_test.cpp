// The one-off senders as the channel's close and the keep-alive use them:
// the logout and the keep-alive reach the test gateway encrypted and decrypt
// to our control packets; the heart-beat is the single byte 0xFF; without a
// socket nothing is sent.
#include "Brindleway/datapath/udp_side.h"

#include <gtest/gtest.h>

#include "data_path_fixture.h"

namespace brindleway {
namespace {

using vqtest::Eventually;

class UdpSideTest : public dptest::DataPathFixture {
 protected:
  void SetUp() override {
    DataPathFixture::SetUp();
    vqgateway::UdpDataPlaneOptions options;
    options.answerKeepAlives = false;
    StartGateway(options);
  }
};

TEST_F(UdpSideTest, SendersReachTheGateway) {
  ProtocolVersionScope version(0x21);
  const sockaddr_in gateway = ctx_.GatewayDataAddress();
  EXPECT_EQ(send_tunnel_heartbeat(socket_.get(), gateway), 0);
  EXPECT_EQ(send_channel_keepalive(socket_.get(), gateway), 0);
  EXPECT_EQ(send_logout(socket_.get(), gateway), 0);
  ASSERT_TRUE(Eventually([&] { return gateway_->Received().size() == 2 && gateway_->Stats().heartBeats == 1; }));
  const auto received = gateway_->Received();
  EXPECT_EQ(received[0].kind, vqgateway::InnerKind::KeepAlive);
  EXPECT_EQ(received[0].bytes.size(), 44u);
  EXPECT_EQ(received[1].kind, vqgateway::InnerKind::Logout);
  EXPECT_EQ(received[1].bytes.size(), 32u);
  // Neither is traffic.
  EXPECT_EQ(TheTrafficCounters().packetsSent.Get(), 0u);
}

TEST_F(UdpSideTest, WithoutASocketNothingIsSent) {
  const sockaddr_in gateway = ctx_.GatewayDataAddress();
  EXPECT_EQ(send_logout(-1, gateway), -1);
  EXPECT_EQ(send_channel_keepalive(-1, gateway), -1);
  EXPECT_EQ(send_tunnel_heartbeat(-1, gateway), -1);
  EXPECT_EQ(data_buffer_in_use(), 0);
}

TEST_F(UdpSideTest, WithoutSecurityAssociationsNothingLeavesUnencrypted) {
  esp_sa_cleanup();
  EXPECT_EQ(send_logout(socket_.get(), ctx_.GatewayDataAddress()), -1);
  EXPECT_EQ(send_tunnel_heartbeat(socket_.get(), ctx_.GatewayDataAddress()), 0);
  ASSERT_TRUE(Eventually([&] { return gateway_->Stats().heartBeats == 1; }));
  EXPECT_EQ(gateway_->Stats().decapFailures, 0);
  EXPECT_TRUE(gateway_->Received().empty());
}

}  // namespace
}  // namespace brindleway
