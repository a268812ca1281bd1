// The I/O loop thread between the in-memory adapter and a real UDP socket
// on loopback, with the test gateway's own data plane as the far end:
// traffic both ways (encrypted on the wire, counted), a numbered stream
// whole and in order with and without crypto workers, tunnel control by
// gateway version, fragmentation towards the adapter, hostile datagrams
// that must leave the tunnel up, and the ways the threads end (stop: 0 and
// nothing posted; a broken adapter or socket: both directions end, 4004
// once). An idle loop sleeps.
#include "Brindleway/datapath/tun_io_loop.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "data_path_fixture.h"
#include "ipv4_test_packets.h"

namespace brindleway {
namespace {

using dptest::DataPathFixture;
using vqtest::Eventually;

// Counts the reads the loop makes of the adapter.
class CountingDevice final : public platform::tun::Device {
 public:
  explicit CountingDevice(platform::tun::Device& inner) : inner_(inner) {}
  int PollFd() const override { return inner_.PollFd(); }
  uint32_t Read(std::span<uint8_t> buffer, size_t& length) override {
    ++reads;
    return inner_.Read(buffer, length);
  }
  uint32_t Write(std::span<const uint8_t> packet) override { return inner_.Write(packet); }
  void Close() override { inner_.Close(); }
  bool IsOpen() const override { return inner_.IsOpen(); }
  uint32_t GetMac(std::array<uint8_t, 6>& mac) override { return inner_.GetMac(mac); }
  uint32_t GetVersion(platform::tun::DriverVersion& v) override { return inner_.GetVersion(v); }
  uint32_t GetMtu(uint32_t& mtu) override { return inner_.GetMtu(mtu); }
  uint32_t GetInfo(std::string& info) override { return inner_.GetInfo(info); }
  uint32_t SetPointToPoint(uint32_t l, uint32_t r) override { return inner_.SetPointToPoint(l, r); }
  uint32_t SetMediaStatus(bool c) override { return inner_.SetMediaStatus(c); }

  std::atomic<int> reads{0};

 private:
  platform::tun::Device& inner_;
};

class TunIoLoopTest : public DataPathFixture {
 protected:
  void SetUp() override {
    DataPathFixture::SetUp();
    StartGateway();
  }
  void TearDown() override {
    loop_.Stop();
    DataPathFixture::TearDown();
  }
  void StartLoop() {
    loop_.Start(ctx_);
    ASSERT_TRUE(Eventually([&] { return loop_.Running(); }));
  }
  // A packet from the gateway reaches the adapter (the tunnel is up).
  void ExpectTunnelCarries(uint16_t id) {
    const std::vector<uint8_t> packet = iptest::Ipv4({.source = "192.168.50.7", .destination = "10.1.0.5", .id = id});
    ASSERT_TRUE(gateway_->SendInner(packet));
    EXPECT_EQ(KernelReceives(), packet);
  }

  platform::Event stop_{platform::Event::Reset::Manual};
  TunIoLoopThread loop_{stop_};
};

TEST_F(TunIoLoopTest, PingCrossesBothWaysEncryptedAndCounted) {
  StartLoop();
  const std::vector<uint8_t> request = iptest::Ipv4({.source = "10.1.0.5", .destination = "192.168.50.7"});
  KernelSends(request);
  ASSERT_TRUE(Eventually([&] { return GatewayTraffic().size() == 1; }));
  EXPECT_EQ(GatewayTraffic()[0], request);
  EXPECT_TRUE(iptest::ChecksumOk(GatewayTraffic()[0].data() + 20, request.size() - 20));

  const std::vector<uint8_t> reply = iptest::Ipv4({.source = "192.168.50.7", .destination = "10.1.0.5", .id = 2});
  ASSERT_TRUE(gateway_->SendInner(reply));
  EXPECT_EQ(KernelReceives(), reply);

  EXPECT_EQ(TheTrafficCounters().packetsSent.Get(), 1u);
  EXPECT_EQ(TheTrafficCounters().bytesSent.Get(), request.size());
  ASSERT_TRUE(Eventually([] { return TheTrafficCounters().packetsReceived.Get() == 1; }));
  EXPECT_EQ(TheTrafficCounters().bytesReceived.Get(), reply.size());

  loop_.Stop();
  EXPECT_EQ(loop_.ExitCode(), 0);
  EXPECT_TRUE(posts_.Posts().empty());
  EXPECT_FALSE(stop_.IsSet());
}

// A numbered stream from the adapter, sealed by the outbound thread alone
// and by it with two workers: the gateway decrypts every packet, in the
// order they were read.
TEST_F(TunIoLoopTest, NumberedStreamReachesTheGatewayWholeAndInOrder) {
  constexpr size_t kPackets = 800;
  size_t before = 0;
  for (const size_t workers : {size_t{1}, size_t{3}}) {
    SCOPED_TRACE(workers);
    ctx_.cryptoWorkers = workers;
    StartLoop();
    std::vector<std::vector<uint8_t>> sent;
    for (size_t i = 0; i < kPackets; ++i) {
      sent.push_back(iptest::Ipv4({.payload = 40 + (i * 53) % 1300, .id = static_cast<uint16_t>(i)}));
      // The adapter's queue may be full while the loop is behind.
      pollfd p{adapterState_->peer.get(), POLLOUT, 0};
      ASSERT_EQ(::poll(&p, 1, 5000), 1);
      KernelSends(sent.back());
    }
    ASSERT_TRUE(Eventually([&] { return GatewayTraffic().size() >= before + kPackets; }));
    const std::vector<std::vector<uint8_t>> traffic = GatewayTraffic();
    ASSERT_EQ(traffic.size(), before + kPackets);
    for (size_t i = 0; i < kPackets; ++i) ASSERT_EQ(traffic[before + i], sent[i]) << i;
    EXPECT_EQ(gateway_->Stats().decapFailures, 0);
    loop_.Stop();
    EXPECT_EQ(loop_.ExitCode(), 0);
    before += kPackets;
  }
  EXPECT_EQ(TheTrafficCounters().packetsSent.Get(), 2 * kPackets);
  EXPECT_TRUE(posts_.Posts().empty());
}

// A numbered stream from the gateway, opened by the inbound thread alone
// and by it with two workers: the adapter gets every packet, in the order
// the gateway sent them. Up to a window of packets is on its way at once,
// so that receives bring several (batches for the workers) and yet the
// socket's buffer never overflows.
TEST_F(TunIoLoopTest, NumberedStreamFromTheGatewayReachesTheAdapterWholeAndInOrder) {
  constexpr size_t kPackets = 800;
  constexpr size_t kWindow = 48;
  for (const size_t workers : {size_t{1}, size_t{3}}) {
    SCOPED_TRACE(workers);
    TheTrafficCounters().Clear();
    ctx_.cryptoWorkers = workers;
    StartLoop();
    std::vector<std::vector<uint8_t>> sent;
    std::vector<std::vector<uint8_t>> received;
    auto receiveOne = [&] {
      std::optional<std::vector<uint8_t>> packet = KernelReceives();
      ASSERT_TRUE(packet.has_value()) << received.size();
      received.push_back(*std::move(packet));
    };
    for (size_t i = 0; i < kPackets; ++i) {
      sent.push_back(iptest::Ipv4({.source = "192.168.50.7",
                                   .destination = "10.1.0.5",
                                   .payload = 40 + (i * 53) % 1300,
                                   .id = static_cast<uint16_t>(i)}));
      ASSERT_TRUE(gateway_->SendInner(sent.back()));
      while (sent.size() - received.size() >= kWindow) ASSERT_NO_FATAL_FAILURE(receiveOne());
    }
    while (received.size() < kPackets) ASSERT_NO_FATAL_FAILURE(receiveOne());
    for (size_t i = 0; i < kPackets; ++i) ASSERT_EQ(received[i], sent[i]) << i;
    ASSERT_TRUE(Eventually([] { return TheTrafficCounters().packetsReceived.Get() == kPackets; }));
    loop_.Stop();
    EXPECT_EQ(loop_.ExitCode(), 0);
  }
  EXPECT_TRUE(posts_.Posts().empty());
}

TEST_F(TunIoLoopTest, LongPacketFromTheGatewayReachesTheAdapterInFragments) {
  StartLoop();
  const std::vector<uint8_t> big =
      iptest::Ipv4({.source = "192.168.50.7", .destination = "10.1.0.5", .payload = 1480, .flags = 0x4000});
  ASSERT_TRUE(gateway_->SendInner(big));
  std::vector<std::vector<uint8_t>> fragments;
  for (int i = 0; i < 2; ++i) {
    auto bytes = KernelReceives();
    ASSERT_TRUE(bytes);
    fragments.push_back(*bytes);
  }
  const iptest::Reassembly r = iptest::Reassemble(fragments);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.payload, std::vector<uint8_t>(big.begin() + 20, big.end()));
  // A packet whose lengths disagree can't be split: dropped, loop goes on.
  std::vector<uint8_t> lying = big;
  iptest::PutBe16(lying, 2, 1450);
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(gateway_->SendInner(lying));
  ExpectTunnelCarries(11);
  loop_.Stop();
  EXPECT_EQ(loop_.ExitCode(), 0);
}

TEST_F(TunIoLoopTest, HostileDatagramsAreDroppedAndTheTunnelStaysUp) {
  platform::UniqueFd foreign = dptest::LoopbackUdpSocket();
  ASSERT_TRUE(foreign.valid());
  StartLoop();
  const std::vector<uint8_t> inner = iptest::Ipv4({.source = "192.168.50.7", .destination = "10.1.0.5", .id = 66});
  std::vector<uint8_t> wrongSpi = gateway_->Encap(inner);
  wrongSpi[0] ^= 0x01;
  std::vector<uint8_t> badIcv = gateway_->Encap(inner);
  badIcv.back() ^= 0x01;
  std::vector<uint8_t> badPadding(48, 0x11);  // three AES blocks, trailer 0x11 0x11
  badPadding[46] = 3;
  badPadding[47] = 4;
  const std::vector<uint8_t> badPad = gateway_->EncapBody(badPadding);
  std::vector<uint8_t> truncated = gateway_->Encap(inner);
  truncated.resize(truncated.size() - 5);
  const struct {
    const char* name;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {"empty", {}},
      {"one byte", {0x00}},
      {"heart-beat byte", {0xFF}},
      {"larger than a buffer", std::vector<uint8_t>(3000, 0xAB)},
      {"garbage", std::vector<uint8_t>(100, 0x5A)},
      {"unknown SPI", wrongSpi},
      {"ICV off by one bit", badIcv},
      {"bad padding", badPad},
      {"truncated", truncated},
      {"valid, but from a stranger", gateway_->Encap(inner)},
  };
  const sockaddr_in client = dptest::Loopback(dptest::LocalPort(socket_.get()));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (std::string(c.name).find("stranger") == std::string::npos) {
      ASSERT_TRUE(gateway_->SendRaw(c.bytes));
    }
    ASSERT_EQ(::sendto(foreign.get(), c.bytes.data(), c.bytes.size(), 0, reinterpret_cast<const sockaddr*>(&client),
                       sizeof client),
              static_cast<ssize_t>(c.bytes.size()));
  }
  ExpectTunnelCarries(12);
  EXPECT_EQ(KernelReceives(100), std::nullopt);  // the stranger's packet never arrived
  EXPECT_TRUE(loop_.Running());
  EXPECT_TRUE(posts_.Posts().empty());
}

TEST_F(TunIoLoopTest, TunnelControlByGatewayVersion) {
  StartLoop();
  ctx_.lastTrafficMs = 0;
  {
    ProtocolVersionScope version(0x20);
    ASSERT_TRUE(gateway_->SendKeepAlive());
    ASSERT_TRUE(gateway_->SendDisconnect(4));
    ASSERT_TRUE(Eventually([&] { return !posts_.Posts().empty(); }));
    EXPECT_EQ(posts_.Posts(), (std::vector<std::pair<uint32_t, uint32_t>>{{WM_CHANNEL_ERROR, 79}}));
    EXPECT_NE(ctx_.lastTrafficMs.load(), 0);
    ExpectTunnelCarries(13);
    EXPECT_EQ(KernelReceives(100), std::nullopt);  // neither control packet reached the adapter
  }
  {
    // Below version 2 every decrypted packet is the adapter's.
    ProtocolVersionScope version(0x10);
    ASSERT_TRUE(gateway_->SendKeepAlive());
    const auto bytes = KernelReceives();
    ASSERT_TRUE(bytes);
    EXPECT_EQ(*bytes, vqgateway::GatewayKeepAlive(0x10, {}));
  }
  EXPECT_EQ(posts_.Posts().size(), 1u);
}

TEST_F(TunIoLoopTest, IdleLoopSleepsInItsWait) {
  CountingDevice counting(*adapter_);
  ctx_.adapter = &counting;
  StartLoop();
  ExpectTunnelCarries(14);
  ASSERT_TRUE(Eventually([&] { return counting.reads.load() > 0; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const int before = counting.reads.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(counting.reads.load(), before);
  // And wakes for the next packet.
  KernelSends(iptest::Ipv4({}));
  EXPECT_TRUE(Eventually([&] { return GatewayTraffic().size() == 1; }));
  loop_.Stop();  // before the counting device goes
}

TEST_F(TunIoLoopTest, StopEndsTheLoopWhilePacketsKeepComing) {
  StartLoop();
  std::atomic<bool> flooding{true};
  std::thread flood([&] {
    const std::vector<uint8_t> packet = iptest::Ipv4({.source = "192.168.50.7", .destination = "10.1.0.5"});
    const std::vector<uint8_t> datagram = gateway_->Encap(packet);
    while (flooding) gateway_->SendRaw(datagram);
  });
  ASSERT_TRUE(Eventually([] { return TheTrafficCounters().packetsReceived.Get() > 50; }));
  loop_.Stop();
  flooding = false;
  flood.join();
  EXPECT_EQ(loop_.ExitCode(), 0);
  EXPECT_TRUE(posts_.Posts().empty());
}

TEST_F(TunIoLoopTest, BrokenAdapterEndsTheLoopWith4004) {
  StartLoop();
  adapterState_->peer.reset();  // the kernel's end goes away: reads give 0 bytes
  ASSERT_TRUE(Eventually([&] { return !loop_.Running(); }));
  EXPECT_EQ(loop_.ExitCode(), -1);
  EXPECT_EQ(posts_.Posts(), (std::vector<std::pair<uint32_t, uint32_t>>{{WM_CHANNEL_ERROR, VQ_ERR_TUN_IO}}));
}

TEST_F(TunIoLoopTest, FailedSocketEndsBothDirectionsWithOne4004) {
  StartLoop();
  ExpectTunnelCarries(15);
  // The socket's descriptor now names a readable pipe (the socket itself
  // lives on through a duplicate): the receive that the next datagram wakes
  // fails.
  platform::UniqueFd socketItself(::dup(socket_.get()));
  int pipeFds[2] = {-1, -1};
  ASSERT_EQ(::pipe(pipeFds), 0);
  platform::UniqueFd readEnd(pipeFds[0]);
  platform::UniqueFd writeEnd(pipeFds[1]);
  ASSERT_EQ(::write(writeEnd.get(), "x", 1), 1);
  ASSERT_EQ(::dup2(readEnd.get(), socket_.get()), socket_.get());
  ASSERT_TRUE(gateway_->SendInner(iptest::Ipv4({.source = "192.168.50.7", .destination = "10.1.0.5"})));
  ASSERT_TRUE(Eventually([&] { return !loop_.Running(); }));
  EXPECT_EQ(loop_.ExitCode(), -1);
  EXPECT_EQ(posts_.Posts(), (std::vector<std::pair<uint32_t, uint32_t>>{{WM_CHANNEL_ERROR, VQ_ERR_TUN_IO}}));
  // Every buffer of both directions went back.
  EXPECT_EQ(data_buffer_in_use(), 0);
}

TEST_F(TunIoLoopTest, MissingAdapterOrSocketPosts4004) {
  ctx_.adapter = nullptr;
  loop_.Start(ctx_);
  ASSERT_TRUE(Eventually([&] { return !loop_.Running(); }));
  EXPECT_EQ(loop_.ExitCode(), -1);
  EXPECT_EQ(posts_.Posts(), (std::vector<std::pair<uint32_t, uint32_t>>{{WM_CHANNEL_ERROR, VQ_ERR_TUN_IO}}));
}

}  // namespace
}  // namespace brindleway
