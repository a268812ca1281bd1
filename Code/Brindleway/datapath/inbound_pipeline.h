// The receive direction's crypto pipeline (crypto_pipeline.h): the inbound
// thread receives the gateway's datagrams, checks each one's SPI and
// lengths under the inbound lock (esp_decap_check) and adds it; the
// workers check the ICV and decrypt (esp_decap_open); the inbound thread
// collects the inner packets in the order they arrived and takes them on
// to decompression, the tunnel's control packets and the adapter queue.
//
//   inbound thread: receive -> check -> Add ... Submit
//   workers:        open a whole batch with their own keys
//   inbound thread: Collect -> decompress -> adapter queue -> write
//
// It runs whenever the send direction's pipeline does, with as many
// workers (DataPathContext::cryptoWorkers).
#pragma once

#include <utility>

#include "Brindleway/datapath/crypto_pipeline.h"
#include "Brindleway/datapath/esp_packet.h"
#include "Brindleway/datapath/packet_buffer_pool.h"

namespace brindleway {

struct EspOpenStage {
  struct Item {
    BufDescPtr datagram;
    EspOpenJob job;
    bool opened = false;
  };
  using Keys = EspOpenKeys;
  static void Work(Item& item, Keys& keys) {
    item.opened = esp_decap_open(item.datagram.get(), item.job, keys) == 0;
  }
};

class InboundPipeline : public CryptoPipeline<EspOpenStage> {
 public:
  using CryptoPipeline::CryptoPipeline;

  // A checked datagram for the batch being filled.
  void Add(BufDescPtr datagram, const EspOpenJob& job) {
    if (datagram == nullptr) return;
    const size_t bytes = datagram->dwLength;
    CryptoPipeline::Add(EspOpenStage::Item{std::move(datagram), job, false}, bytes);
  }
  // Submit and Collect give each inner packet to deliver (BufDescPtr), in
  // order; a datagram that failed its ICV or trailer check is dropped.
  template <typename Deliver>
  void Submit(Deliver&& deliver) {
    CryptoPipeline::Submit(Opened<Deliver>{deliver});
  }
  template <typename Deliver>
  void Collect(Deliver&& deliver, size_t maxPackets) {
    CryptoPipeline::Collect(Opened<Deliver>{deliver}, maxPackets);
  }
  bool OpenOne() { return WorkOne(); }

 private:
  template <typename Deliver>
  struct Opened {
    Deliver& deliver;
    void operator()(EspOpenStage::Item& item) const {
      if (item.opened) deliver(std::move(item.datagram));
    }
  };
};

}  // namespace brindleway
