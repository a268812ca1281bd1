// The receive direction's crypto workers: the gateway's numbered stream,
// checked in order and opened by several workers in batches of every size,
// comes out in the order it arrived, every inner packet whole; datagrams
// that fail their ICV or trailer check are dropped without disturbing the
// order of the rest; after a rekey the aging keys still open what was
// sealed under them; stopping with batches on their way hands every
// buffer back.
#include "Brindleway/datapath/inbound_pipeline.h"

#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <vector>

#include "data_path_fixture.h"
#include "gateway/esp_peer.h"
#include "ipv4_test_packets.h"

namespace brindleway {
namespace {

using dptest::DataPathFixture;
using vqtest::Eventually;

class InboundPipelineTest : public DataPathFixture {
 protected:
  // Inner packet i: its id is i, its length varies so that padding does.
  static std::vector<uint8_t> Numbered(size_t i) {
    return iptest::Ipv4({.payload = 40 + (i * 37) % 1300, .id = static_cast<uint16_t>(i)});
  }
  // The datagram checked and added; false when the check refused it.
  static bool Receive(InboundPipeline& pipeline, const std::vector<uint8_t>& datagram) {
    BufDescPtr packet = buf_desc_alloc(1);
    if (packet == nullptr) return false;
    std::memcpy(packet->pData, datagram.data(), datagram.size());
    packet->dwLength = static_cast<uint32_t>(datagram.size());
    EspOpenJob job;
    if (esp_decap_check(packet.get(), job) != 0) return false;
    pipeline.Add(std::move(packet), job);
    return true;
  }
  // Three AES blocks ending in pad length 3 after pad bytes that are not
  // 1, 2, 3.
  static std::vector<uint8_t> BadPadding() {
    std::vector<uint8_t> body(48, 0x11);
    body[46] = 3;
    body[47] = 4;
    return body;
  }
  // Collects into inner, every batch the pipeline has finished.
  auto Into(std::vector<std::vector<uint8_t>>& inner) {
    return [&inner](BufDescPtr packet) { inner.emplace_back(packet->pData, packet->pData + packet->dwLength); };
  }
  bool Drain(InboundPipeline& pipeline, std::vector<std::vector<uint8_t>>& inner) {
    return Eventually([&] {
      pipeline.Collect(Into(inner), kTunIoQueueLimit);
      return pipeline.InFlight() == 0;
    });
  }
};

TEST_F(InboundPipelineTest, NumberedStreamComesOutInOrderWithTheBadDatagramsDropped) {
  InboundPipeline pipeline(3);
  ASSERT_EQ(pipeline.Workers(), 3u);
  vqgateway::EspPeer gateway(espConfig_);
  // Batches of one and a few (opened inline, at once while the pipeline is
  // empty, else behind the batches on their way) and of many, collections
  // in between that find some unfinished and some limited by the room
  // given, and the inbound thread opening some of the workers' batches.
  const size_t batchSizes[] = {1, 2, 3, 64, 1, 7, 64, 2, 31, 5};
  constexpr size_t kPackets = 1500;
  std::vector<std::vector<uint8_t>> inner;
  std::vector<size_t> expected;
  size_t sent = 0;
  for (size_t round = 0; sent < kPackets; ++round) {
    const size_t size = batchSizes[round % std::size(batchSizes)];
    for (size_t i = 0; i < size && sent < kPackets; ++i, ++sent) {
      // Every 97th fails its ICV, every 89th its trailer (a valid ICV over
      // bad padding); the workers drop both.
      std::vector<uint8_t> datagram;
      if (sent % 89 == 7) {
        datagram = gateway.EncapBody(BadPadding());
      } else {
        datagram = gateway.Encap(Numbered(sent));
        if (sent % 97 == 5) {
          datagram.back() ^= 0x01;
        } else {
          expected.push_back(sent);
        }
      }
      ASSERT_TRUE(Receive(pipeline, datagram)) << sent;
    }
    pipeline.Submit(Into(inner));
    if (round % 3 == 0) pipeline.Collect(Into(inner), round % 2 == 0 ? 64 : kTunIoQueueLimit);
    if (round % 4 == 1) pipeline.OpenOne();
  }
  ASSERT_TRUE(Drain(pipeline, inner));
  EXPECT_FALSE(pipeline.HasCollectable());

  ASSERT_EQ(inner.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) ASSERT_EQ(inner[i], Numbered(expected[i])) << i;
}

TEST_F(InboundPipelineTest, DatagramsTheCheckRefusesNeverReachTheWorkers) {
  vqgateway::EspPeer gateway(espConfig_);
  const std::vector<uint8_t> good = gateway.Encap(Numbered(1));
  std::vector<uint8_t> unknownSpi = good;
  unknownSpi[0] ^= 0x40;
  std::vector<uint8_t> notBlocks = good;
  notBlocks.pop_back();
  const std::vector<uint8_t> shortOne(good.begin(), good.begin() + 30);
  InboundPipeline pipeline(1);
  const std::vector<uint8_t>* refused[] = {&unknownSpi, &notBlocks, &shortOne};
  for (const std::vector<uint8_t>* datagram : refused) EXPECT_FALSE(Receive(pipeline, *datagram));
  EXPECT_EQ(pipeline.Staged(), 0u);
  EXPECT_EQ(data_buffer_in_use(), 0);
}

TEST_F(InboundPipelineTest, AfterARekeyTheAgingKeysStillOpenWhatWasSealedUnderThem) {
  InboundPipeline pipeline(2);
  vqgateway::EspPeer first(espConfig_);
  vqgateway::EspPeerConfig second = espConfig_;
  for (size_t i = 0; i < second.keyBlock.size(); ++i) second.keyBlock[i] = static_cast<uint8_t>(i * 3 + 1);
  second.gatewaySpi = dptest::kGatewaySpi + 1;
  second.clientSpi = dptest::kOwnSpi + 1;
  vqgateway::EspPeer next(second);
  constexpr size_t kHalf = 200;
  std::vector<std::vector<uint8_t>> inner;
  for (size_t i = 0; i < kHalf; ++i) ASSERT_TRUE(Receive(pipeline, first.Encap(Numbered(i))));
  pipeline.Submit(Into(inner));
  ASSERT_EQ(esp_sa_setup(second.clientSpi, second.gatewaySpi, second.keyBlock, ESP_ENC_AES, ESP_HASH_SHA1,
                         htonl(INADDR_LOOPBACK), htonl(INADDR_LOOPBACK)),
            0);
  // Old and new keys interleaved, as datagrams in flight arrive.
  for (size_t i = kHalf; i < 2 * kHalf; ++i) {
    ASSERT_TRUE(Receive(pipeline, (i % 2 == 0 ? next : first).Encap(Numbered(i))));
  }
  pipeline.Submit(Into(inner));
  ASSERT_TRUE(Drain(pipeline, inner));
  ASSERT_EQ(inner.size(), 2 * kHalf);
  for (size_t i = 0; i < 2 * kHalf; ++i) ASSERT_EQ(inner[i], Numbered(i)) << i;
}

TEST_F(InboundPipelineTest, StopWithBatchesOnTheirWayReturnsEveryBuffer) {
  vqgateway::EspPeer gateway(espConfig_);
  std::vector<std::vector<uint8_t>> inner;
  {
    InboundPipeline pipeline(4);
    for (int batch = 0; batch < 8; ++batch) {
      for (int i = 0; i < 48; ++i) {
        ASSERT_TRUE(Receive(pipeline, gateway.Encap(Numbered(static_cast<size_t>(i) * 20 + 17))));
      }
      pipeline.Submit(Into(inner));
    }
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(Receive(pipeline, gateway.Encap(Numbered(static_cast<size_t>(i)))));
    pipeline.Stop();
    EXPECT_EQ(pipeline.InFlight(), 0u);
  }
  EXPECT_TRUE(inner.empty());
  EXPECT_EQ(data_buffer_in_use(), 0);
}

}  // namespace
}  // namespace brindleway
