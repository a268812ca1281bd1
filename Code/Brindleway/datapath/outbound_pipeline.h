// The send direction's crypto pipeline (crypto_pipeline.h): the outbound
// thread reads the adapter, frames each packet under the SA lock (its
// sequence number and IV taken, esp_packet.h) and adds it; the workers
// compress it when compression is on (the inner packet shrinks in place
// and its trailer is laid out again) and seal it (CBC and HMAC); the
// outbound thread collects the sealed datagrams in the order they were
// framed and sends them, so the sequence numbers leave in order on the
// wire.
//
//   outbound thread: read -> frame -> Add ... Submit
//   workers:         compress and seal a whole batch with their own keys
//   outbound thread: Collect -> socket queue -> send
//
// Sealers counting the outbound thread: DataPathContext::cryptoWorkers; 1
// is no pipeline, the I/O loop then compresses and encapsulates on its own
// thread; 0 (the default) sizes it by CryptoWorkerCount; n > 1 is n - 1
// worker threads.
#pragma once

#include <cstdint>

#include "Brindleway/datapath/crypto_pipeline.h"
#include "Brindleway/datapath/esp_packet.h"
#include "Brindleway/datapath/ip_comp.h"
#include "Brindleway/datapath/packet_buffer_pool.h"
#include "Brindleway/datapath/packet_queue.h"

namespace brindleway {

struct EspSealStage {
  struct Item {
    BufDescPtr datagram;
    EspSealJob job;
    // What the traffic counters count once it is sealed: the inner
    // packet's length, compressed or not.
    uint32_t innerLength = 0;
    // Offered to compression before it is sealed.
    bool compress = false;
    bool sealed = false;
  };
  struct Keys {
    EspSealKeys esp;
    IpCompWork compression;
  };
  static void Work(Item& item, Keys& keys);
};

class OutboundPipeline : public CryptoPipeline<EspSealStage> {
 public:
  using CryptoPipeline::CryptoPipeline;

  // A framed packet for the batch being filled; compress: offer it to
  // compression first.
  void Add(BufDescPtr datagram, const EspSealJob& job, uint32_t innerLength, bool compress);
  // Submit and Collect append the sealed datagrams to out, each counted; a
  // datagram whose sealing failed is dropped (never sent unencrypted).
  void Submit(PacketQueue& out);
  void Collect(PacketQueue& out);
  bool SealOne() { return WorkOne(); }
};

}  // namespace brindleway
