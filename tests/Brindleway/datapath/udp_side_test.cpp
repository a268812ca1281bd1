// The one-off senders as the channel's close and the keep-alive use them:
// the logout and the keep-alive reach the test gateway encrypted and decrypt
// to our control packets; the heart-beat is the single byte 0xFF; without a
// socket nothing is sent.
//
// The receive (socket_read) against real sockets on loopback, with and
// without receive coalescing: the gateway's datagrams, sent as runs the
// kernel coalesces, reach the adapter whole and in order; an empty one, a
// stranger's and one longer than a buffer are dropped (all of a coalesced
// message alike) and what follows still arrives; fewer messages than asked
// for, and only that, marks the read pending.
#include "Brindleway/datapath/device_path.h"
#include "Brindleway/datapath/udp_side.h"

#include <gtest/gtest.h>
#include <netinet/udp.h>


#include "Brindleway/datapath/udp_batch.h"
#include "data_path_fixture.h"
#include "ipv4_test_packets.h"

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

// The receive as the inbound thread makes it; the test plays the gateway
// from a socket of its own (the test gateway's data plane only seals the
// packets), so it can send runs with segmentation offload. The parameter:
// the socket coalesces (as the I/O loop sets it up) or refuses to.
class SocketReadTest : public dptest::DataPathFixture, public ::testing::WithParamInterface<bool> {
 protected:
  using Bytes = std::vector<uint8_t>;

  void SetUp() override {
    DataPathFixture::SetUp();
    StartGateway();
    ASSERT_TRUE(gatewaySide_.valid());
    ASSERT_TRUE(stranger_.valid());
    ctx_.gatewayUdpPort = dptest::LocalPort(gatewaySide_.get());
    adapter_ctx_ = MakeAdapterContext(ctx_);
    socket_ctx_ = MakeSocketContext(ctx_);
    ASSERT_NE(socket_ctx_.receiveArea, nullptr);  // loopback coalesces
    if (!GetParam()) {
      const int off = 0;
      ASSERT_EQ(::setsockopt(socket_.get(), SOL_UDP, UDP_GRO, &off, sizeof off), 0);
      socket_ctx_.receiveArea.reset();
    }
  }
  void TearDown() override {
    ReleaseInbound(adapter_ctx_, socket_ctx_);
    DataPathFixture::TearDown();
  }

  // Inbound packet n, payload bytes long.
  static Bytes Inner(uint16_t n, size_t payload) {
    return iptest::Ipv4({.source = "192.168.50.7", .destination = "10.1.0.5", .payload = payload, .id = n});
  }

  // One call from from, runs of one length offloaded.
  void Send(int from, std::vector<Bytes> datagrams) {
    // The sender reads only the packet's place and length.
    std::vector<buf_desc> packets(datagrams.size());
    std::vector<const buf_desc*> views;
    for (size_t i = 0; i < datagrams.size(); ++i) {
      packets[i].pData = datagrams[i].data();
      packets[i].dwLength = static_cast<uint32_t>(datagrams[i].size());
      views.push_back(&packets[i]);
    }
    UdpSendState state;
    ASSERT_EQ(SendDatagrams(from, state, views, dptest::Loopback(dptest::LocalPort(socket_.get()))),
              static_cast<int>(datagrams.size()));
  }

  // What a receive queued for the adapter, written as the inbound thread
  // writes it.
  void WriteAdapter() {
    for (int i = 0; i < 100 && adapter_ctx_.HasWriteWork() && !adapter_ctx_.writePending; ++i) {
      devicefile_write(adapter_ctx_);
    }
  }

  // Reads as the inbound thread does until count packets reached the
  // adapter (or a generous bound passed); then nothing more may come.
  std::vector<Bytes> AdapterGets(size_t count) {
    std::vector<Bytes> got;
    for (int round = 0; round < 200 && got.size() < count; ++round) {
      if (socket_ctx_.readPending) {
        pollfd p{socket_.get(), POLLIN, 0};
        if (::poll(&p, 1, 10) == 1) socket_ctx_.readPending = false;
      }
      EXPECT_EQ(socket_read(socket_ctx_, adapter_ctx_), 0);
      WriteAdapter();
      while (std::optional<Bytes> packet = KernelReceives(0)) got.push_back(*packet);
    }
    EXPECT_EQ(KernelReceives(50), std::nullopt);
    return got;
  }

  AdapterContext adapter_ctx_;
  SocketContext socket_ctx_;
  platform::UniqueFd gatewaySide_ = dptest::LoopbackUdpSocket();
  platform::UniqueFd stranger_ = dptest::LoopbackUdpSocket();
};

TEST_P(SocketReadTest, GatewayDatagramsReachTheAdapterAndTheRestIsDropped) {
  enum From { Gateway, Stranger };
  struct Case {
    const char* name;
    From from;
    // Inner packets' payload lengths; 0: not a packet but an empty
    // datagram; kOversize: raw bytes longer than a buffer.
    std::vector<size_t> payloads;
    bool delivered;
  };
  constexpr size_t kOversize = 1;
  const std::vector<Case> cases = {
      {"plain datagram", Gateway, {56}, true},
      {"run of one length", Gateway, {1200, 1200, 1200, 1200, 1200, 1200}, true},
      {"run whose last is shorter", Gateway, {1000, 1000, 1000, 1000, 500}, true},
      {"empty datagram", Gateway, {0}, false},
      {"a stranger's run", Stranger, {1200, 1200, 1200}, false},
      {"a stranger's datagram", Stranger, {56}, false},
      {"longer than a buffer, one", Gateway, {kOversize}, false},
      {"longer than a buffer, a run", Gateway, {kOversize, kOversize, kOversize}, false},
      {"after all that, a run", Gateway, {800, 800, 800}, true},
  };
  uint16_t next = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<Bytes> inners;
    std::vector<Bytes> datagrams;
    for (const size_t payload : c.payloads) {
      if (payload == 0) {
        datagrams.emplace_back();
      } else if (payload == kOversize) {
        datagrams.emplace_back(3000, 0xAB);
      } else {
        inners.push_back(Inner(next++, payload));
        datagrams.push_back(gateway_->Encap(inners.back()));
      }
    }
    Send(c.from == Gateway ? gatewaySide_.get() : stranger_.get(), datagrams);
    const std::vector<Bytes> expected = c.delivered ? inners : std::vector<Bytes>{};
    EXPECT_EQ(AdapterGets(expected.size()), expected);
  }
  EXPECT_EQ(TheTrafficCounters().packetsReceived.Get(), 1u + 6u + 5u + 3u);
}

TEST_P(SocketReadTest, FewerMessagesThanAskedForMarksTheReadPending) {
  // Twelve sends, each of two datagrams: as messages, two receives' worth
  // where the socket coalesces; six where it does not.
  std::vector<Bytes> inners;
  for (uint16_t n = 1; n <= 12; ++n) {
    inners.push_back(Inner(static_cast<uint16_t>(2 * n), 400));
    inners.push_back(Inner(static_cast<uint16_t>(2 * n + 1), 400));
    Send(gatewaySide_.get(), {gateway_->Encap(inners[inners.size() - 2]), gateway_->Encap(inners.back())});
  }
  size_t reads = 0;
  while (!socket_ctx_.readPending && reads < 100) {
    ASSERT_EQ(socket_read(socket_ctx_, adapter_ctx_), 0);
    WriteAdapter();
    ++reads;
  }
  EXPECT_EQ(reads, GetParam() ? 2u : 3u);
  std::vector<Bytes> got;
  while (std::optional<Bytes> packet = KernelReceives(0)) got.push_back(*packet);
  EXPECT_EQ(got, inners);
}

INSTANTIATE_TEST_SUITE_P(Coalescing, SocketReadTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "Coalesced" : "OneDatagramPerMessage";
                         });

}  // namespace
}  // namespace brindleway
