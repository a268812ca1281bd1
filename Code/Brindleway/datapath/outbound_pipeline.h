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
// A batch that finds the pipeline empty and holds no more than
// kSealInlineMax packets is sealed on the outbound thread at once: a lone
// packet of an idle tunnel makes no hop between threads.
//
// The outbound thread stops reading while kPipelineMaxPackets packets are
// on their way (the adapter's own queue holds the rest) and waits for
// WakeFd(), which is readable while the oldest batch is finished.
//
// A pool of one worker is no pool: the I/O loop then encapsulates on its
// own thread (DataPathContext::cryptoWorkers 1, the default; 0 sizes the
// pool by CryptoWorkerCount).
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
inline constexpr size_t kSealInlineMax = 2;
// A batch handed over before the pass ends once it has this many.
inline constexpr size_t kPipelineBatchPackets = 64;

// The workers for a process that may use cpus processors: one per
// processor up to kMaxCryptoWorkers; 1 (no pool) on one processor.
size_t CryptoWorkerCount(unsigned cpus);

class OutboundPipeline {
 public:
  // workers >= 2 (below that the caller needs no pipeline).
  explicit OutboundPipeline(size_t workers);
  ~OutboundPipeline();
  OutboundPipeline(const OutboundPipeline&) = delete;
  OutboundPipeline& operator=(const OutboundPipeline&) = delete;

  size_t Workers() const { return workers_.size(); }

  // A framed packet for the batch being filled; innerLength is what the
  // traffic counters count once it is sealed.
  void Add(BufDescPtr datagram, const EspSealJob& job, uint32_t innerLength);
  size_t Staged() const { return staging_ != nullptr ? staging_->packets.size() : 0; }
  // The batch being filled goes to the workers, or is sealed at once and
  // appended to out when the pipeline is empty and the batch small.
  void Submit(PacketQueue& out);
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
    bool done = false;
  };

  void WorkerLoop();
  static void Seal(Batch& batch, EspSealKeys& keys);
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
