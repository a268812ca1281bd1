// The send direction's crypto workers: a numbered stream framed in order,
// sealed by several workers in batches of every size, comes out in the
// order it was numbered, every datagram whole for the gateway's own
// decapsulation (sequence numbers 1, 2, 3 ... on the wire); a rekey in the
// middle of the stream seals each datagram under the keys it was framed
// on; stopping with batches on their way hands every buffer back; with
// compression on, the workers compress what can shrink and the gateway
// gets every packet back, also while compression is switched on and off
// under them. A thread that waits for the workers is woken for every batch
// they finish. The pool's size from the processors the process may use.
#include "Brindleway/datapath/outbound_pipeline.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <iterator>
#include <random>
#include <thread>
#include <vector>

#include "Brindleway/common/constants.h"
#include "Brindleway/datapath/ip_comp.h"

#include "data_path_fixture.h"
#include "gateway/esp_peer.h"
#include "gateway/ip_comp_peer.h"
#include "ipv4_test_packets.h"

namespace brindleway {
namespace {

using dptest::DataPathFixture;
using vqtest::Eventually;

class OutboundPipelineTest : public DataPathFixture {
 protected:
  // Inner packet i: its id is i, its length varies so that padding does.
  static std::vector<uint8_t> Numbered(size_t i) {
    return iptest::Ipv4({.payload = 40 + (i * 37) % 1300, .id = static_cast<uint16_t>(i)});
  }
  // Even i: runs of 64 equal bytes, which deflate shrinks; odd i: random
  // bytes, which it can't.
  static std::vector<uint8_t> Mixed(size_t i) {
    std::vector<uint8_t> p = Numbered(i);
    std::mt19937 random(static_cast<uint32_t>(i));
    for (size_t at = 20; at < p.size(); ++at) p[at] = static_cast<uint8_t>(i % 2 == 0 ? at / 64 : random());
    return p;
  }
  // Framed on the current SA and added; false when framing refused it.
  static bool Frame(OutboundPipeline& pipeline, const std::vector<uint8_t>& inner, bool compress = false) {
    BufDescPtr packet = buf_desc_alloc(1);
    if (packet == nullptr) return false;
    std::memcpy(packet->pData, inner.data(), inner.size());
    packet->dwLength = static_cast<uint32_t>(inner.size());
    EspSealJob job;
    if (esp_encap_frame(packet.get(), job) != 0) return false;
    pipeline.Add(std::move(packet), job, static_cast<uint32_t>(inner.size()), compress);
    return true;
  }
  // Everything submitted, collected into out.
  static bool Drain(OutboundPipeline& pipeline, PacketQueue& out) {
    return Eventually([&] {
      pipeline.Collect(out);
      return pipeline.InFlight() == 0;
    });
  }
  static std::vector<uint8_t> Bytes(const buf_desc* d) { return {d->pData, d->pData + d->dwLength}; }
};

TEST_F(OutboundPipelineTest, NumberedStreamLeavesInOrderAndTheGatewayDecryptsEveryDatagram) {
  OutboundPipeline pipeline(3);
  ASSERT_EQ(pipeline.Workers(), 3u);
  // Batches of one and a few (sealed inline, at once while the pipeline
  // is empty, else behind the batches on their way) and of many, with
  // collections in between that find some unfinished, and the outbound
  // thread sealing some of the workers' batches itself.
  const size_t batchSizes[] = {1, 2, 3, 64, 1, 7, 200, 2, 31, 5};
  constexpr size_t kPackets = 1500;
  PacketQueue out;
  size_t framed = 0;
  for (size_t round = 0; framed < kPackets; ++round) {
    const size_t size = batchSizes[round % std::size(batchSizes)];
    for (size_t i = 0; i < size && framed < kPackets; ++i, ++framed) ASSERT_TRUE(Frame(pipeline, Numbered(framed)));
    pipeline.Submit(out);
    if (round % 3 == 0) pipeline.Collect(out);
    if (round % 4 == 1) pipeline.SealOne();
  }
  ASSERT_TRUE(Drain(pipeline, out));
  EXPECT_FALSE(pipeline.HasCollectable());

  ASSERT_EQ(out.Size(), kPackets);
  vqgateway::EspPeer gateway(espConfig_);
  for (size_t i = 0; i < kPackets; ++i) {
    SCOPED_TRACE(i);
    const BufDescPtr datagram = out.PopFront();
    const vqgateway::EspDecapResult r = gateway.Decap(Bytes(datagram.get()));
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.sequence, i + 1);
    EXPECT_EQ(r.inner, Numbered(i));
  }
  EXPECT_EQ(TheTrafficCounters().packetsSent.Get(), kPackets);
}

TEST_F(OutboundPipelineTest, AThreadThatWaitsIsWokenForEveryFinishedBatch) {
  // As the outbound thread waits: armed only when nothing is collectable,
  // and then the wake-up must come, whether the oldest batch finished just
  // before the arming or after it (a lost one leaves the thread asleep with
  // sealed datagrams held).
  OutboundPipeline pipeline(2);
  PacketQueue out;
  size_t framed = 0;
  for (size_t round = 0; round < 300; ++round) {
    SCOPED_TRACE(round);
    // Over the inline limit: the workers seal it.
    for (size_t i = 0; i < 6 + round % 5; ++i, ++framed) ASSERT_TRUE(Frame(pipeline, Numbered(framed)));
    pipeline.Submit(out);
    while (pipeline.InFlight() > 0) {
      if (!pipeline.HasCollectable()) {
        // Every other round the workers finish between the look and the
        // arming.
        if (round % 2 == 1) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        pipeline.ArmWake();
        pollfd wake{pipeline.WakeFd(), POLLIN, 0};
        ASSERT_EQ(::poll(&wake, 1, 10000), 1);
      }
      pipeline.Collect(out);
    }
  }
  ASSERT_EQ(out.Size(), framed);
  vqgateway::EspPeer gateway(espConfig_);
  for (size_t i = 0; i < framed; ++i) {
    const vqgateway::EspDecapResult r = gateway.Decap(Bytes(out.PopFront().get()));
    ASSERT_TRUE(r.ok) << r.error;
    ASSERT_EQ(r.inner, Numbered(i));
  }
}

TEST_F(OutboundPipelineTest, RekeyMidStreamSealsEachDatagramUnderTheKeysItWasFramedOn) {
  OutboundPipeline pipeline(2);
  PacketQueue out;
  constexpr size_t kHalf = 300;
  for (size_t i = 0; i < kHalf; ++i) ASSERT_TRUE(Frame(pipeline, Numbered(i)));
  // Submitted, not collected: the workers may still be at it while the new
  // pair is set up and more is framed on it.
  pipeline.Submit(out);
  vqgateway::EspPeerConfig second = espConfig_;
  for (size_t i = 0; i < second.keyBlock.size(); ++i) second.keyBlock[i] = static_cast<uint8_t>(i * 3 + 1);
  second.gatewaySpi = dptest::kGatewaySpi + 1;
  second.clientSpi = dptest::kOwnSpi + 1;
  ASSERT_EQ(esp_sa_setup(second.clientSpi, second.gatewaySpi, second.keyBlock, ESP_ENC_AES, ESP_HASH_SHA1,
                         htonl(INADDR_LOOPBACK), htonl(INADDR_LOOPBACK)),
            0);
  for (size_t i = kHalf; i < 2 * kHalf; ++i) ASSERT_TRUE(Frame(pipeline, Numbered(i)));
  pipeline.Submit(out);
  ASSERT_TRUE(Drain(pipeline, out));

  ASSERT_EQ(out.Size(), 2 * kHalf);
  vqgateway::EspPeer first(espConfig_);
  vqgateway::EspPeer next(second);
  for (size_t i = 0; i < 2 * kHalf; ++i) {
    SCOPED_TRACE(i);
    const BufDescPtr datagram = out.PopFront();
    const vqgateway::EspDecapResult r = (i < kHalf ? first : next).Decap(Bytes(datagram.get()));
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.sequence, i % kHalf + 1);
    EXPECT_EQ(r.inner, Numbered(i));
  }
}

TEST_F(OutboundPipelineTest, StopWithBatchesOnTheirWayReturnsEveryBuffer) {
  PacketQueue out;
  {
    OutboundPipeline pipeline(4);
    // Each batch large enough to go to the workers.
    for (int batch = 0; batch < 8; ++batch) {
      for (int i = 0; i < 48; ++i) ASSERT_TRUE(Frame(pipeline, Numbered(static_cast<size_t>(i) * 20 + 17)));
      pipeline.Submit(out);
    }
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(Frame(pipeline, Numbered(static_cast<size_t>(i))));  // staged only
    pipeline.Stop();
    EXPECT_EQ(pipeline.InFlight(), 0u);
  }
  EXPECT_TRUE(out.Empty());
  EXPECT_EQ(data_buffer_in_use(), 0);
}

TEST_F(OutboundPipelineTest, WorkersCompressWhatShrinksAndTheGatewayGetsEveryPacketBack) {
  constexpr uint16_t kPeerCpi = 0x1234;
  TheIpComp().SetAlgorithm(IPCOMP_ALGORITHM_ZLIB);
  TheIpComp().SetPeerCpi(kPeerCpi);
  OutboundPipeline pipeline(3);
  const size_t batchSizes[] = {1, 64, 3, 200, 2, 31};
  constexpr size_t kPackets = 1200;
  PacketQueue out;
  size_t framed = 0;
  for (size_t round = 0; framed < kPackets; ++round) {
    const size_t size = batchSizes[round % std::size(batchSizes)];
    for (size_t i = 0; i < size && framed < kPackets; ++i, ++framed)
      ASSERT_TRUE(Frame(pipeline, Mixed(framed), true));
    pipeline.Submit(out);
    if (round % 2 == 0) pipeline.Collect(out);
  }
  ASSERT_TRUE(Drain(pipeline, out));

  ASSERT_EQ(out.Size(), kPackets);
  vqgateway::EspPeer gateway(espConfig_);
  uint64_t saved = 0;
  uint64_t sentBytes = 0;
  for (size_t i = 0; i < kPackets; ++i) {
    SCOPED_TRACE(i);
    const BufDescPtr datagram = out.PopFront();
    const vqgateway::EspDecapResult r = gateway.Decap(Bytes(datagram.get()));
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.sequence, i + 1);
    const std::vector<uint8_t> original = Mixed(i);
    sentBytes += r.inner.size();
    // Payloads too small to be worth it are never compressed.
    if (i % 2 == 1 || original.size() - 20 <= IPCOMP_PAYLOAD_MIN_SIZE) {
      EXPECT_EQ(r.inner, original);
      continue;
    }
    ASSERT_TRUE(vqgateway::IsIpComp(r.inner));
    const auto inflated = vqgateway::InflateIpComp(r.inner, kPeerCpi);
    ASSERT_TRUE(inflated.has_value());
    EXPECT_EQ(*inflated, original);
    saved += original.size() - r.inner.size() + IPCOMP_HEADER_LENGTH;
  }
  EXPECT_GT(saved, 0u);
  // Each worker's statistics land in the one instance.
  EXPECT_EQ(TheIpComp().GetOutboundSaved(), saved);
  EXPECT_EQ(TheTrafficCounters().bytesSent.Get(), sentBytes);
}

TEST_F(OutboundPipelineTest, CompressionSwitchedUnderTheWorkersLeavesEveryPacketWhole) {
  TheIpComp().SetPeerCpi(7);
  OutboundPipeline pipeline(3);
  std::atomic<bool> done = false;
  std::thread toggler([&] {
    for (bool on = true; !done.load(); on = !on) {
      TheIpComp().SetAlgorithm(on ? IPCOMP_ALGORITHM_ZLIB : IPCOMP_ALGORITHM_NONE);
      std::this_thread::yield();
    }
  });
  constexpr size_t kPackets = 2000;
  PacketQueue out;
  for (size_t i = 0; i < kPackets; ++i) {
    ASSERT_TRUE(Frame(pipeline, Mixed(i), true));
    if (i % 50 == 49) pipeline.Submit(out);
  }
  pipeline.Submit(out);
  const bool drained = Drain(pipeline, out);
  done = true;
  toggler.join();
  ASSERT_TRUE(drained);

  ASSERT_EQ(out.Size(), kPackets);
  vqgateway::EspPeer gateway(espConfig_);
  size_t compressed = 0;
  for (size_t i = 0; i < kPackets; ++i) {
    SCOPED_TRACE(i);
    const BufDescPtr datagram = out.PopFront();
    const vqgateway::EspDecapResult r = gateway.Decap(Bytes(datagram.get()));
    ASSERT_TRUE(r.ok) << r.error;
    // Compressed or not, whichever setting it met, but never damaged.
    const std::vector<uint8_t> inner =
        vqgateway::IsIpComp(r.inner) ? vqgateway::InflateIpComp(r.inner, 7).value_or(std::vector<uint8_t>{}) : r.inner;
    EXPECT_EQ(inner, Mixed(i));
    compressed += vqgateway::IsIpComp(r.inner) ? 1 : 0;
  }
  // The switch was met both ways.
  EXPECT_GT(compressed, 0u);
  EXPECT_LT(compressed, kPackets / 2);
}

TEST(CryptoWorkerCountTest, OnePerProcessorUpToTheLimitAndNoPoolOnOne) {
  const struct {
    unsigned cpus;
    size_t workers;
  } cases[] = {{0, 1}, {1, 1}, {2, 2}, {3, 3}, {kMaxCryptoWorkers, kMaxCryptoWorkers}, {64, kMaxCryptoWorkers}};
  for (const auto& c : cases) EXPECT_EQ(CryptoWorkerCount(c.cpus), c.workers) << c.cpus;
}

}  // namespace
}  // namespace brindleway
