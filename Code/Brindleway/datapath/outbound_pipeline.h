// The send direction's crypto pipeline (crypto_pipeline.h): the outbound
// thread reads the adapter, frames each packet under the SA lock (its
// sequence number and IV taken, esp_packet.h) and adds it; the workers
// seal (CBC and HMAC); the outbound thread collects the sealed datagrams
// in the order they were framed and sends them, so the sequence numbers
// leave in order on the wire.
//
//   outbound thread: read -> compress -> frame -> Add ... Submit
//   workers:         seal a whole batch with their own keys
//   outbound thread: Collect -> socket queue -> send
//
// Sealers counting the outbound thread: DataPathContext::cryptoWorkers; 1
// is no pipeline, the I/O loop then encapsulates on its own thread; 0 (the
// default) sizes it by CryptoWorkerCount; n > 1 is n - 1 worker threads.
#pragma once

#include <cstdint>

#include "Brindleway/datapath/crypto_pipeline.h"
#include "Brindleway/datapath/esp_packet.h"
#include "Brindleway/datapath/packet_buffer_pool.h"
#include "Brindleway/datapath/packet_queue.h"

namespace brindleway {

struct EspSealStage {
  struct Item {
    BufDescPtr datagram;
    EspSealJob job;
    // What the traffic counters count once it is sealed.
    uint32_t innerLength = 0;
    bool sealed = false;
  };
  using Keys = EspSealKeys;
  static void Work(Item& item, Keys& keys) {
    item.sealed = esp_encap_seal(item.datagram.get(), item.job, keys) == 0;
  }
};

class OutboundPipeline : public CryptoPipeline<EspSealStage> {
 public:
  using CryptoPipeline::CryptoPipeline;

  // A framed packet for the batch being filled.
  void Add(BufDescPtr datagram, const EspSealJob& job, uint32_t innerLength);
  // Submit and Collect append the sealed datagrams to out, each counted; a
  // datagram whose sealing failed is dropped (never sent unencrypted).
  void Submit(PacketQueue& out);
  void Collect(PacketQueue& out);
  bool SealOne() { return WorkOne(); }
};

}  // namespace brindleway
