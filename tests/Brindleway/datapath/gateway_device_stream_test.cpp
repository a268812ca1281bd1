// The test gateway's device direction with one to four sealers: a
// numbered stream written to the gateway's device reaches our socket whole
// and in order, every datagram decrypted by our own decapsulation, its
// sequence numbers consecutive in arrival order, across new keys
// given while the stream flows; a lone packet after it gets through too;
// so does a burst past the pipeline's in-flight limit; and the gateway
// stops with batches in flight.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstring>
#include <map>
#include <vector>

#include "Brindleway/datapath/esp_packet.h"
#include "data_path_fixture.h"
#include "platform/byte_order.h"

namespace brindleway {
namespace {

using dptest::DataPathFixture;

constexpr uint32_t kRekeyedOwnSpi = 0x00003555;
constexpr uint32_t kRekeyedGatewaySpi = 0x80004666;

class GatewayDeviceStreamTest : public DataPathFixture, public ::testing::WithParamInterface<unsigned> {
 protected:
  void SetUp() override {
    DataPathFixture::SetUp();
    // Room for what is in flight whatever the machine's default.
    const int room = 4 << 20;
    if (::setsockopt(socket_.get(), SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room) != 0) {
      ::setsockopt(socket_.get(), SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
    }
    deviceState_ = std::make_shared<platform::tun::ChannelState>();
    ASSERT_EQ(platform::tun::OpenChannel(deviceState_, device_), 0u);
    vqgateway::UdpDataPlaneOptions options;
    options.tun = device_.get();
    options.recordTraffic = false;
    options.sealers = GetParam();
    StartGateway(options);
  }
  void TearDown() override {
    gateway_.reset();
    device_.reset();
    DataPathFixture::TearDown();
  }

  // Packet i: its number in front, mostly of one length (runs the sender
  // may offload), every seventh shorter and of its own length.
  static std::vector<uint8_t> Numbered(uint32_t i) {
    std::vector<uint8_t> packet(i % 7 == 3 ? 40 + i % 61 : 1380);
    packet[0] = 0x45;
    platform::PutU32BE(&packet[4], i);
    for (size_t at = 8; at < packet.size(); ++at) packet[at] = static_cast<uint8_t>(i + at * 31);
    return packet;
  }

  void DeviceGives(const std::vector<uint8_t>& packet) {
    pollfd p{deviceState_->peer.get(), POLLOUT, 0};
    ASSERT_EQ(::poll(&p, 1, 5000), 1);
    ASSERT_EQ(::send(deviceState_->peer.get(), packet.data(), packet.size(), MSG_DONTWAIT),
              static_cast<ssize_t>(packet.size()));
  }

  struct Arrival {
    uint32_t spi = 0;
    uint32_t sequence = 0;
    std::vector<uint8_t> inner;
  };

  // The next datagram at our socket, decrypted by our decapsulation; false
  // when none came in time or it failed to decrypt.
  bool Receive(Arrival& arrival) {
    pollfd p{socket_.get(), POLLIN, 0};
    if (::poll(&p, 1, 10000) != 1) return false;
    std::vector<uint8_t> datagram(65536);
    const ssize_t n = ::recv(socket_.get(), datagram.data(), datagram.size(), MSG_DONTWAIT);
    if (n < 8) return false;
    datagram.resize(static_cast<size_t>(n));
    arrival.spi = platform::GetU32BE(&datagram[0]);
    arrival.sequence = platform::GetU32BE(&datagram[4]);
    buf_desc desc;
    desc.pData = datagram.data();
    desc.dwLength = static_cast<uint32_t>(datagram.size());
    if (esp_decap(&desc) != 0) return false;
    arrival.inner.assign(desc.pData, desc.pData + desc.dwLength);
    return true;
  }

  std::shared_ptr<platform::tun::ChannelState> deviceState_;
  std::unique_ptr<platform::tun::Device> device_;
};

TEST_P(GatewayDeviceStreamTest, NumberedStreamArrivesWholeInOrderAcrossNewKeys) {
  constexpr uint32_t kPackets = 2000;
  constexpr uint32_t kRekeyAt = 1000;
  // Packets written ahead of those received: enough for batches of every
  // size, few enough for any socket buffer.
  constexpr uint32_t kWindow = 64;
  std::vector<Arrival> arrivals;
  uint32_t written = 0;
  while (arrivals.size() < kPackets) {
    while (written < kPackets && written - arrivals.size() < kWindow) DeviceGives(Numbered(written++));
    if (arrivals.size() == kRekeyAt) {
      // Ours first, so that both pairs decrypt while the old keys' packets
      // are still in flight.
      std::array<uint8_t, KEY_BLOCK_LENGTH> block{};
      for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 5 + 77);
      ASSERT_EQ(esp_sa_setup(kRekeyedOwnSpi, kRekeyedGatewaySpi, block, ESP_ENC_AES, ESP_HASH_SHA1,
                             htonl(INADDR_LOOPBACK), htonl(INADDR_LOOPBACK)),
                0);
      vqgateway::EspPeerConfig rekeyed = espConfig_;
      rekeyed.gatewaySpi = kRekeyedGatewaySpi;
      rekeyed.clientSpi = kRekeyedOwnSpi;
      rekeyed.keyBlock = block;
      gateway_->SetEspConfig(rekeyed);
    }
    Arrival arrival;
    ASSERT_TRUE(Receive(arrival)) << "after " << arrivals.size() << " of " << kPackets;
    arrivals.push_back(std::move(arrival));
  }

  std::map<uint32_t, uint32_t> lastSequence;  // by SPI
  bool rekeyed = false;
  for (uint32_t i = 0; i < kPackets; ++i) {
    const Arrival& a = arrivals[i];
    ASSERT_EQ(a.inner, Numbered(i)) << "packet " << i;
    // The old keys' packets all before the new keys' ones.
    if (a.spi == kRekeyedOwnSpi) rekeyed = true;
    ASSERT_EQ(a.spi, rekeyed ? kRekeyedOwnSpi : dptest::kOwnSpi) << "packet " << i;
    // Each pair's numbers from 1, none lost or reordered.
    ASSERT_EQ(a.sequence, lastSequence[a.spi] + 1) << "packet " << i;
    lastSequence[a.spi] = a.sequence;
  }
  EXPECT_TRUE(rekeyed);

  // A lone packet.
  DeviceGives(Numbered(kPackets));
  Arrival lone;
  ASSERT_TRUE(Receive(lone));
  EXPECT_EQ(lone.inner, Numbered(kPackets));
  EXPECT_EQ(lone.spi, kRekeyedOwnSpi);
  EXPECT_EQ(lone.sequence, lastSequence[kRekeyedOwnSpi] + 1);
}

TEST_P(GatewayDeviceStreamTest, BurstPastTheInFlightLimitArrivesWholeInOrder) {
  // All given before any is received: the device thread meets the
  // pipeline's limit and must stop reading and go on after it.
  constexpr uint32_t kPackets = 4 * vqgateway::SealPipeline::kMaxInFlight;
  for (uint32_t i = 0; i < kPackets; ++i) DeviceGives(Numbered(i));
  for (uint32_t i = 0; i < kPackets; ++i) {
    Arrival a;
    ASSERT_TRUE(Receive(a)) << "after " << i << " of " << kPackets;
    ASSERT_EQ(a.inner, Numbered(i)) << "packet " << i;
    ASSERT_EQ(a.sequence, i + 1) << "packet " << i;
  }
}

TEST_P(GatewayDeviceStreamTest, StopsWithBatchesInFlight) {
  for (uint32_t i = 0; i < 2 * vqgateway::SealPipeline::kMaxInFlight; ++i) DeviceGives(Numbered(i));
  // At once, batches being read, sealed and sent: no hang, nothing leaked
  // (the sanitizers' runs).
  gateway_.reset();
}

INSTANTIATE_TEST_SUITE_P(Sealers, GatewayDeviceStreamTest, ::testing::Values(1u, 2u, 3u, 4u),
                         [](const ::testing::TestParamInfo<unsigned>& info) {
                           return std::to_string(info.param) + "Sealers";
                         });

}  // namespace
}  // namespace brindleway
