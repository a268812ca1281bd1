#include "Brindleway/datapath/outbound_pipeline.h"

#include <utility>

#include "Brindleway/datapath/traffic_counters.h"

namespace brindleway {
namespace {

struct QueueSealed {
  PacketQueue& out;
  void operator()(EspSealStage::Item& item) const {
    if (!item.sealed) return;
    TheTrafficCounters().CountSent(item.innerLength);
    out.PushBack(std::move(item.datagram));
  }
};

}  // namespace

void OutboundPipeline::Add(BufDescPtr datagram, const EspSealJob& job, uint32_t innerLength) {
  if (datagram == nullptr) return;
  const size_t bytes = datagram->dwLength;
  CryptoPipeline::Add(EspSealStage::Item{std::move(datagram), job, innerLength, false}, bytes);
}

void OutboundPipeline::Submit(PacketQueue& out) { CryptoPipeline::Submit(QueueSealed{out}); }

void OutboundPipeline::Collect(PacketQueue& out) { CryptoPipeline::Collect(QueueSealed{out}); }

}  // namespace brindleway
