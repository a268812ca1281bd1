// The test gateway's receive direction with one, two and three decryptors:
// a numbered stream encapsulated and sent by the client's own code (runs
// of one length offloaded, so the gateway receives them coalesced) reaches
// the gateway's device, or its callback, whole and in order; hostile
// datagrams inside the runs (a bad ICV, a wrong SPI, a short one), heart-
// beats and keep-alives among them are counted and recorded in their
// place without disturbing the order. Stopping while the decryptors hold
// batches (the deliverer stuck in the callback, every receive room out)
// ends, and what was delivered by then is the stream's beginning.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <future>
#include <mutex>
#include <thread>
#include <tuple>
#include <vector>

#include "Brindleway/datapath/esp_packet.h"
#include "Brindleway/datapath/udp_batch.h"
#include "data_path_fixture.h"
#include "platform/byte_order.h"

namespace brindleway {
namespace {

using Bytes = std::vector<uint8_t>;
using dptest::DataPathFixture;
using dptest::Loopback;
using vqgateway::InnerKind;

// Traffic packet i: its number behind the IPv4 header, mostly one length
// (runs the client offloads), every ninth shorter and of its own length.
Bytes Numbered(uint32_t i) {
  Bytes packet(i % 9 == 4 ? 60 + i % 53 : 1380);
  for (size_t at = 0; at < packet.size(); ++at) packet[at] = static_cast<uint8_t>(i * 7 + at * 31);
  packet[0] = 0x45;
  const uint8_t addresses[8] = {10, 1, 0, 5, 10, 1, 0, 1};
  std::memcpy(&packet[12], addresses, sizeof addresses);
  platform::PutU32BE(&packet[20], i);
  return packet;
}

// decryptors, to the device (else the callback), datagrams per burst.
using Case = std::tuple<unsigned, bool, size_t>;

class GatewayReceiveFixture : public DataPathFixture {
 protected:
  void SetUp() override {
    DataPathFixture::SetUp();
    const int room = 8 << 20;
    if (::setsockopt(socket_.get(), SOL_SOCKET, SO_SNDBUFFORCE, &room, sizeof room) != 0) {
      ::setsockopt(socket_.get(), SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
    }
  }
  void TearDown() override {
    gateway_.reset();
    if (reader_.joinable()) {
      readerStop_ = true;
      reader_.join();
    }
    device_.reset();
    DataPathFixture::TearDown();
  }

  void Start(unsigned decryptors, bool toDevice) {
    vqgateway::UdpDataPlaneOptions options;
    options.decryptors = decryptors;
    options.answerKeepAlives = false;
    if (toDevice) {
      deviceState_ = std::make_shared<platform::tun::ChannelState>();
      ASSERT_EQ(platform::tun::OpenChannel(deviceState_, device_), 0u);
      options.tun = device_.get();
      reader_ = std::thread([this] { ReadDevice(); });
    } else {
      options.onTraffic = [this](const std::vector<uint8_t>& inner) { Arrived(inner); };
    }
    StartGateway(options);
  }

  void Arrived(const Bytes& inner) {
    std::lock_guard<std::mutex> lock(mutex_);
    arrived_.push_back(inner);
  }
  size_t ArrivedCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return arrived_.size();
  }

  // The kernel's side of the gateway's device, read as it comes.
  void ReadDevice() {
    Bytes packet(65536);
    while (!readerStop_) {
      pollfd p{deviceState_->peer.get(), POLLIN, 0};
      if (::poll(&p, 1, 20) != 1) continue;
      const ssize_t n = ::recv(deviceState_->peer.get(), packet.data(), packet.size(), MSG_DONTWAIT);
      if (n > 0) Arrived(Bytes(packet.begin(), packet.begin() + n));
    }
  }

  static BufDescPtr Datagram(const Bytes& bytes) {
    BufDescPtr desc = buf_desc_alloc(1);
    EXPECT_NE(desc, nullptr);
    if (desc == nullptr) return desc;
    std::memcpy(desc->pData, bytes.data(), bytes.size());
    desc->dwLength = static_cast<uint32_t>(bytes.size());
    return desc;
  }
  static BufDescPtr Encapsulated(const Bytes& inner) {
    BufDescPtr desc = Datagram(inner);
    EXPECT_EQ(esp_encap(desc.get()), 0);
    return desc;
  }
  static BufDescPtr Spoilt(const Bytes& inner, size_t at) {
    BufDescPtr desc = Encapsulated(inner);
    desc->pData[at < desc->dwLength ? at : desc->dwLength - 1] ^= 0x5A;
    return desc;
  }

  // All of them, in order, through the client's batched send.
  void Send(const std::vector<BufDescPtr>& datagrams) {
    std::vector<const buf_desc*> views;
    for (const auto& d : datagrams) views.push_back(d.get());
    size_t done = 0;
    while (done < views.size()) {
      const size_t count = std::min(views.size() - done, kUdpBatchMax);
      const int sent = SendDatagrams(socket_.get(), sendState_, std::span(views).subspan(done, count),
                                     Loopback(gateway_->Port()));
      if (sent > 0) {
        done += static_cast<size_t>(sent);
        continue;
      }
      ASSERT_TRUE(sent < 0 && errno == EAGAIN) << "errno " << errno;
      pollfd p{socket_.get(), POLLOUT, 0};
      ASSERT_EQ(::poll(&p, 1, 5000), 1);
    }
  }

  std::shared_ptr<platform::tun::ChannelState> deviceState_;
  std::unique_ptr<platform::tun::Device> device_;
  std::thread reader_;
  std::atomic<bool> readerStop_{false};
  UdpSendState sendState_;
  std::mutex mutex_;
  std::vector<Bytes> arrived_;
};

class GatewayReceiveOrderTest : public GatewayReceiveFixture, public ::testing::WithParamInterface<Case> {};

TEST_P(GatewayReceiveOrderTest, NumberedStreamArrivesWholeInOrderHostileOnesDropped) {
  const auto [decryptors, toDevice, burst] = GetParam();
  Start(decryptors, toDevice);
  constexpr uint32_t kPackets = 3000;
  const Bytes keepAlive = vqgateway::GatewayKeepAlive(0x20, {});
  // What the record must hold, in order.
  std::vector<std::pair<InnerKind, Bytes>> expected;
  int hostile = 0;
  int heartBeats = 0;
  for (uint32_t next = 0; next < kPackets;) {
    std::vector<BufDescPtr> datagrams;
    const uint32_t end = std::min<uint32_t>(kPackets, next + static_cast<uint32_t>(burst));
    for (; next < end; ++next) {
      datagrams.push_back(Encapsulated(Numbered(next)));
      expected.emplace_back(InnerKind::Traffic, Numbered(next));
      // Among the run, of its length: a bad ICV, a wrong SPI.
      if (next % 13 == 5) {
        datagrams.push_back(Spoilt(Numbered(next), 1 << 20));
        ++hostile;
      }
      if (next % 17 == 8) {
        datagrams.push_back(Spoilt(Numbered(next), 0));
        ++hostile;
      }
      if (next % 29 == 11) {
        datagrams.push_back(Datagram(Bytes(12, 0x77)));
        ++hostile;
      }
      if (next % 31 == 20) {
        datagrams.push_back(Datagram(Bytes{0xFF}));
        ++heartBeats;
      }
      if (next % 37 == 30) {
        datagrams.push_back(Encapsulated(keepAlive));
        expected.emplace_back(InnerKind::KeepAlive, keepAlive);
      }
    }
    ASSERT_NO_FATAL_FAILURE(Send(datagrams));
    // The device's queue holds a burst; the callback takes any number, and
    // the rest wait in the socket's buffer and the pipeline.
    if (toDevice) {
      ASSERT_TRUE(vqtest::Eventually([&] { return ArrivedCount() == end; })) << ArrivedCount() << " of " << end;
    }
  }
  ASSERT_TRUE(vqtest::Eventually([&] { return ArrivedCount() == kPackets; })) << ArrivedCount();

  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (uint32_t i = 0; i < kPackets; ++i) ASSERT_EQ(arrived_[i], Numbered(i)) << "packet " << i;
  }
  const std::vector<vqgateway::ReceivedInner> record = gateway_->Received();
  ASSERT_EQ(record.size(), expected.size());
  for (size_t i = 0; i < record.size(); ++i) {
    ASSERT_EQ(record[i].kind, expected[i].first) << "record " << i;
    ASSERT_EQ(record[i].bytes, expected[i].second) << "record " << i;
  }
  const vqgateway::UdpDataPlaneStats stats = gateway_->Stats();
  EXPECT_EQ(stats.traffic, static_cast<int>(kPackets));
  EXPECT_EQ(stats.decapFailures, hostile);
  EXPECT_EQ(stats.heartBeats, heartBeats);
  EXPECT_EQ(stats.keepAlives, static_cast<int>(expected.size() - kPackets));

  // A lone datagram after it.
  ASSERT_NO_FATAL_FAILURE(Send([&] {
    std::vector<BufDescPtr> one;
    one.push_back(Encapsulated(Numbered(kPackets)));
    return one;
  }()));
  ASSERT_TRUE(vqtest::Eventually([&] { return ArrivedCount() == kPackets + 1; }));
  std::lock_guard<std::mutex> lock(mutex_);
  EXPECT_EQ(arrived_.back(), Numbered(kPackets));
}

INSTANTIATE_TEST_SUITE_P(Decryptors, GatewayReceiveOrderTest,
                         ::testing::Values(Case{1, true, 48}, Case{2, true, 48}, Case{3, true, 48},
                                           Case{1, false, 600}, Case{2, false, 600}, Case{3, false, 600}),
                         [](const ::testing::TestParamInfo<Case>& info) {
                           return std::to_string(std::get<0>(info.param)) + "Decryptors" +
                                  (std::get<1>(info.param) ? "ToDevice" : "ToCallback");
                         });

class GatewayReceiveStopTest : public GatewayReceiveFixture {};

TEST_F(GatewayReceiveStopTest, StopsWithBatchesInFlight) {
  std::mutex gateMutex;
  std::condition_variable gateWake;
  bool open = false;
  std::atomic<int> entered{0};
  vqgateway::UdpDataPlaneOptions options;
  options.decryptors = 3;
  options.recordTraffic = false;
  options.onTraffic = [&](const std::vector<uint8_t>& inner) {
    Arrived(inner);
    ++entered;
    std::unique_lock<std::mutex> lock(gateMutex);
    gateWake.wait(lock, [&] { return open; });
  };
  StartGateway(options);
  constexpr uint32_t kPackets = 2000;
  std::vector<BufDescPtr> datagrams;
  for (uint32_t i = 0; i < kPackets; ++i) datagrams.push_back(Encapsulated(Numbered(i)));
  ASSERT_NO_FATAL_FAILURE(Send(datagrams));
  ASSERT_TRUE(vqtest::Eventually([&] { return entered > 0; }));
  // The deliverer is held in the callback; the stop comes meanwhile (most
  // likely: the gate opens a little after it started), then it is let go.
  auto stopped = std::async(std::launch::async, [this] { gateway_.reset(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  {
    std::lock_guard<std::mutex> lock(gateMutex);
    open = true;
  }
  gateWake.notify_all();
  ASSERT_EQ(stopped.wait_for(std::chrono::seconds(60)), std::future_status::ready) << "stop hangs";
  std::lock_guard<std::mutex> lock(mutex_);
  for (size_t i = 0; i < arrived_.size(); ++i) ASSERT_EQ(arrived_[i], Numbered(static_cast<uint32_t>(i))) << i;
}

}  // namespace
}  // namespace brindleway
