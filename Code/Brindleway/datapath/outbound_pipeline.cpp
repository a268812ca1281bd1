#include "Brindleway/datapath/outbound_pipeline.h"

#include <utility>

#include "Brindleway/common/constants.h"
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

// Compresses the framed datagram's inner packet in place; when it shrank,
// its trailer follows. false: it can't be sent.
bool CompressFramed(EspSealStage::Item& item, IpCompWork& work) {
  buf_desc& datagram = *item.datagram;
  uint8_t* const head = datagram.pData;
  const uint32_t datagramLength = datagram.dwLength;
  datagram.pData = head + item.job.headerLength;
  datagram.dwLength = item.innerLength;
  const bool compressed = TheIpComp().CompressPacket(&datagram, work) == IPCOMP_OK;
  const uint32_t innerLength = datagram.dwLength;
  datagram.pData = head;
  datagram.dwLength = datagramLength;
  if (!compressed) return true;
  item.innerLength = innerLength;
  return esp_encap_shrink(&datagram, item.job, innerLength) == 0;
}

}  // namespace

void EspSealStage::Work(Item& item, Keys& keys) {
  if (item.compress && !CompressFramed(item, keys.compression)) {
    item.sealed = false;
    return;
  }
  item.sealed = esp_encap_seal(item.datagram.get(), item.job, keys.esp) == 0;
}

void OutboundPipeline::Add(BufDescPtr datagram, const EspSealJob& job, uint32_t innerLength, bool compress) {
  if (datagram == nullptr) return;
  const size_t bytes = datagram->dwLength;
  CryptoPipeline::Add(EspSealStage::Item{std::move(datagram), job, innerLength, compress, false}, bytes);
}

void OutboundPipeline::Submit(PacketQueue& out) { CryptoPipeline::Submit(QueueSealed{out}); }

void OutboundPipeline::Collect(PacketQueue& out) { CryptoPipeline::Collect(QueueSealed{out}); }

}  // namespace brindleway
