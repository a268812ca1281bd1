// The send direction's crypto on several cores. The outbound thread reads
// the adapter, frames each packet under the SA lock (its sequence number
// and IV taken, esp_packet.h) and hands the packets of a read or a pass
// over as one batch; a small pool of worker threads seals the batches
// (CBC and HMAC, each worker with its own keys), in any order and side by
// side; the outbound thread collects them in the order they were framed
// and sends them, so the sequence numbers leave in order on the wire and
// a TCP stream inside the tunnel sees no reordering.
//
//   outbound thread: read -> compress -> frame -> Add ... Submit
//   workers:         seal a whole batch with their own keys
//   outbound thread: Collect (finished batches from the oldest on, in
//                    order) -> socket queue -> send
//
// A batch of no more than kSealInlineBytes is sealed on the outbound
// thread at once: handing it over would cost more than its crypto, and a
// lone packet of an idle tunnel makes no hop between threads. It goes out
// at once when nothing is on its way, else after the batches before it.
//
// The outbound thread is a sealer too: with nothing to read or send it
// seals the oldest batch no worker has taken (SealOne) before it waits.
//
// The outbound thread stops reading while kPipelineMaxPackets packets are
// on their way (the adapter's own queue holds the rest) and waits for
// WakeFd(), which is readable while the oldest batch is finished.
//
// Sealers counting the outbound thread: DataPathContext::cryptoWorkers; 1
// (the default) is no pipeline, the I/O loop then encapsulates on its own
// thread; 0 sizes it by CryptoWorkerCount; n > 1 is n - 1 worker threads.
//
// Every method but the workers' own is for the outbound thread.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "Brindleway/datapath/esp_packet.h"
#include "Brindleway/datapath/packet_buffer_pool.h"
#include "Brindleway/datapath/packet_queue.h"
#include "platform/sync/event.h"

namespace brindleway {

inline constexpr size_t kMaxCryptoWorkers = 4;
inline constexpr size_t kPipelineMaxPackets = 384;
inline constexpr size_t kSealInlineBytes = 4096;
// A batch handed over before the pass ends once it has this many.
inline constexpr size_t kPipelineBatchPackets = 64;

// The sealers for a process that may use cpus processors, the outbound
// thread included: one per processor up to kMaxCryptoWorkers; 1 (no pool)
// on one processor.
size_t CryptoWorkerCount(unsigned cpus);

class OutboundPipeline {
 public:
  // workers >= 1 threads besides the outbound thread.
  explicit OutboundPipeline(size_t workers);
  ~OutboundPipeline();
  OutboundPipeline(const OutboundPipeline&) = delete;
  OutboundPipeline& operator=(const OutboundPipeline&) = delete;

  size_t Workers() const { return workers_.size(); }

  // A framed packet for the batch being filled; innerLength is what the
  // traffic counters count once it is sealed.
  void Add(BufDescPtr datagram, const EspSealJob& job, uint32_t innerLength);
  size_t Staged() const { return staging_ != nullptr ? staging_->packets.size() : 0; }
  size_t StagedBytes() const { return staging_ != nullptr ? staging_->bytes : 0; }
  // The batch being filled goes to the workers, or, when small, is sealed
  // at once and appended to out when nothing is on its way (else it waits
  // in order, finished).
  void Submit(PacketQueue& out);
  // Seals the oldest batch no worker has taken; false when there is none.
  bool SealOne();
  // The finished batches, from the oldest on up to the first unfinished
  // one, appended to out in order; a datagram whose sealing failed is
  // dropped (never sent unencrypted). Each one appended is counted.
  void Collect(PacketQueue& out);

  // Packets submitted and not collected yet.
  size_t InFlight() const;
  bool Full() const { return InFlight() >= kPipelineMaxPackets; }
  // The oldest batch is finished: Collect has something to give.
  bool HasCollectable() const;
  // Readable while HasCollectable().
  int WakeFd() const { return done_.Fd(); }

  // Stops and joins the workers and drops every packet held. Nothing may
  // be added afterwards; the destructor does it too.
  void Stop();

 private:
  struct Packet {
    BufDescPtr datagram;
    EspSealJob job;
    uint32_t innerLength = 0;
    bool sealed = false;
  };
  struct Batch {
    std::vector<Packet> packets;
    size_t bytes = 0;
    bool done = false;
  };

  void WorkerLoop();
  static void Seal(Batch& batch, EspSealKeys& keys);
  // Under mutex_: batch finished; the wake-up when it is the oldest.
  void MarkDone(Batch& batch);
  void Append(Batch& batch, PacketQueue& out);
  std::unique_ptr<Batch> TakeSpare();

  // The outbound thread's own: the batch being filled, emptied batches for
  // reuse, and the keys of inline sealing.
  std::unique_ptr<Batch> staging_;
  std::vector<std::unique_ptr<Batch>> spare_;
  EspSealKeys inlineKeys_;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  // Every submitted batch in framing order (owned); the workers take from
  // todo_, which points into it.
  std::deque<std::unique_ptr<Batch>> order_;
  std::deque<Batch*> todo_;
  size_t inFlight_ = 0;
  bool stopping_ = false;
  // Set while the oldest batch is finished (under mutex_).
  platform::Event done_{platform::Event::Reset::Manual};
  std::vector<std::thread> workers_;
};

}  // namespace brindleway
