// The test gateway's sealing pipeline on its own: batches framed in order
// come back in that order whatever sealer finished them, every datagram
// decrypted by our own decapsulation; a small batch is sealed in Submit
// (no hop); at the in-flight limit Full() holds; destroyed with batches
// waiting, sealing and finished it stops and frees them all.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "Brindleway/datapath/esp_packet.h"
#include "data_path_fixture.h"
#include "gateway/seal_pipeline.h"
#include "platform/byte_order.h"

namespace brindleway {
namespace {

using vqgateway::EspPeer;
using vqgateway::SealPipeline;

class GatewaySealPipelineTest : public dptest::DataPathFixture {
 protected:
  // A batch of count numbered packets from next on, framed by peer.
  std::unique_ptr<SealPipeline::Batch> Framed(SealPipeline& pipeline, EspPeer& peer,
                                              const std::shared_ptr<EspPeer>& owner, size_t count, uint32_t& next,
                                              size_t length = 1380) {
    std::unique_ptr<SealPipeline::Batch> batch = pipeline.NewBatch();
    const size_t slot = length + EspPeer::kMaxFront + EspPeer::kMaxBehind;
    batch->Reserve(count * slot);
    batch->peer = owner;
    for (size_t i = 0; i < count; ++i) {
      std::vector<uint8_t> inner(length, static_cast<uint8_t>(next));
      inner[0] = 0x45;
      platform::PutU32BE(&inner[4], next++);
      const std::span<uint8_t> out = batch->Room().subspan(i * slot, slot);
      const size_t framed = peer.Frame(inner, out);
      EXPECT_NE(framed, 0u);
      batch->Add(out.first(framed));
    }
    return batch;
  }

  // The packet number inside a datagram, after our decapsulation; -1 when
  // it failed.
  static int64_t Decrypted(std::span<const uint8_t> datagram) {
    std::vector<uint8_t> copy(datagram.begin(), datagram.end());
    buf_desc desc;
    desc.pData = copy.data();
    desc.dwLength = static_cast<uint32_t>(copy.size());
    if (esp_decap(&desc) != 0 || desc.dwLength < 8) return -1;
    return platform::GetU32BE(desc.pData + 4);
  }
};

TEST_F(GatewaySealPipelineTest, BatchesComeBackInFramingOrderAndDecrypt) {
  auto peer = std::make_shared<EspPeer>(espConfig_);
  SealPipeline pipeline(SealPipeline::kMaxSealers);
  ASSERT_EQ(pipeline.Sealers(), SealPipeline::kMaxSealers);
  uint32_t next = 0;
  uint32_t expected = 0;
  uint32_t lastSequence = 0;
  const auto takeBack = [&](bool wait) {
    for (;;) {
      std::unique_ptr<SealPipeline::Batch> batch = pipeline.TakeFinished();
      if (batch == nullptr) {
        if (!wait || pipeline.InFlight() == 0) return;
        if (!pipeline.SealOne()) std::this_thread::yield();
        continue;
      }
      for (size_t i = 0; i < batch->datagrams.size(); ++i) {
        ASSERT_EQ(batch->sealed[i], 1);
        ASSERT_EQ(platform::GetU32BE(batch->datagrams[i].data() + 4), ++lastSequence);
        ASSERT_EQ(Decrypted(batch->datagrams[i]), expected++);
      }
      pipeline.Recycle(std::move(batch));
    }
  };
  // Batches of every size, small ones (sealed in Submit) between large ones
  // the sealers still hold, the limit reached now and then.
  for (int round = 0; round < 200; ++round) {
    const size_t count = 1 + static_cast<size_t>(round * 7) % 32;
    pipeline.Submit(Framed(pipeline, *peer, peer, count, next, round % 5 == 0 ? 100 : 1380));
    takeBack(pipeline.Full());
    EXPECT_LE(pipeline.InFlight(), SealPipeline::kMaxInFlight + 32);
  }
  takeBack(true);
  EXPECT_EQ(expected, next);
}

TEST_F(GatewaySealPipelineTest, SmallBatchWithNothingInFlightIsSealedInSubmit) {
  auto peer = std::make_shared<EspPeer>(espConfig_);
  SealPipeline pipeline(3);
  uint32_t next = 0;
  for (int i = 0; i < 20; ++i) {
    pipeline.Submit(Framed(pipeline, *peer, peer, 1, next));
    // No sealer had to wake: finished as Submit returned.
    std::unique_ptr<SealPipeline::Batch> batch = pipeline.TakeFinished();
    ASSERT_NE(batch, nullptr) << i;
    EXPECT_EQ(Decrypted(batch->datagrams[0]), static_cast<int64_t>(next - 1));
    pipeline.Recycle(std::move(batch));
  }
}

TEST_F(GatewaySealPipelineTest, FullAtTheLimitAndStoppedWithBatchesInFlight) {
  auto peer = std::make_shared<EspPeer>(espConfig_);
  for (unsigned sealers : {1u, 2u, 4u}) {
    SealPipeline pipeline(sealers);
    uint32_t next = 0;
    while (!pipeline.Full()) pipeline.Submit(Framed(pipeline, *peer, peer, 32, next));
    EXPECT_EQ(pipeline.InFlight(), SealPipeline::kMaxInFlight) << sealers;
    // Some taken back, some left waiting, sealing or finished: the
    // destructor joins the sealers and frees them (the sanitizers' runs
    // see a leak or a use after free).
    if (std::unique_ptr<SealPipeline::Batch> batch = pipeline.TakeFinished()) pipeline.Recycle(std::move(batch));
    pipeline.Submit(Framed(pipeline, *peer, peer, 32, next));
  }
}

}  // namespace
}  // namespace brindleway
