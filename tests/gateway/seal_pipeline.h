// Seals the device's datagrams on several threads without making the
// device thread wait for them: the device thread reads and frames (sequence
// numbers in order) a batch at a time and hands each whole batch over; the
// sealer threads seal the batches side by side, each with its own contexts
// of the batch's peer (made again when a batch comes with another peer, new
// keys); the device thread takes the finished batches back from the oldest
// on, in the order it framed them, and sends them, so a TCP stream inside
// the tunnel is never reordered.
//
//   device thread: read -> frame -> Submit ... TakeFinished -> send
//   sealers:       seal one whole batch each, in any order
//
// A small batch (a lone packet of an idle tunnel) is sealed at once by the
// device thread in Submit: handing it over would cost more than its crypto
// and add a hop to the round trip. The device thread seals too
// (SealOne) when it has nothing to read or send. At most kMaxInFlight
// packets are submitted and not taken back: Full() tells the device thread
// to stop reading. DoneFd() becomes readable when a sealer thread finishes
// the oldest batch; the device thread takes back what is finished
// (TakeFinished until null) before it waits for it.
//
// Every method is for the device thread, one thread at a time; the sealer
// threads are the pipeline's own.
#pragma once

#include <netinet/in.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "gateway/esp_peer.h"
#include "platform/sync/event.h"

namespace vqgateway {

class SealPipeline {
 public:
  // The most sealers, the device thread included.
  static constexpr unsigned kMaxSealers = 4;
  // Packets submitted and not taken back, past which the device thread
  // stops reading (the device's own queue holds the rest).
  static constexpr size_t kMaxInFlight = 256;
  // A batch of no more bytes is sealed in Submit on the device thread.
  static constexpr size_t kSealInlineBytes = 4096;
  // One sealer per processor this process may use, at most kMaxSealers.
  static unsigned SealersForThisMachine();

  // Datagrams framed for one peer and one address, in framing order, in
  // the batch's own room.
  struct Batch {
    std::shared_ptr<EspPeer> peer;
    sockaddr_in to{};
    std::vector<std::span<uint8_t>> datagrams;  // into Room()
    std::vector<uint8_t> sealed;  // per datagram: 1 when its crypto succeeded
    size_t payload = 0;  // the datagrams' bytes
    bool done = false;

    // At least size bytes of room (what it held is lost when it grows).
    // Not zeroed: the pages a batch never writes stay unused.
    void Reserve(size_t size);
    std::span<uint8_t> Room() { return {room_.get(), roomSize_}; }
    void Add(std::span<uint8_t> datagram) {
      datagrams.push_back(datagram);
      payload += datagram.size();
    }
    void Clear();

   private:
    std::unique_ptr<uint8_t[]> room_;
    size_t roomSize_ = 0;
  };

  // sealers counts the device thread: 1 starts no thread and seals every
  // batch in Submit. Clamped to 1..kMaxSealers.
  explicit SealPipeline(unsigned sealers);
  // Stops the sealer threads (a batch being sealed is finished first) and
  // drops every batch held.
  ~SealPipeline();
  SealPipeline(const SealPipeline&) = delete;
  SealPipeline& operator=(const SealPipeline&) = delete;

  unsigned Sealers() const { return static_cast<unsigned>(threads_.size() + 1); }

  // An empty batch to fill, a used one when there is one.
  std::unique_ptr<Batch> NewBatch();
  // A filled batch, after all the ones submitted before it.
  void Submit(std::unique_ptr<Batch> batch);
  // Seals the oldest batch no sealer has taken; false when there is none.
  bool SealOne();
  // The oldest batch when it is finished (sealed[i] says which datagrams
  // may go), else null.
  std::unique_ptr<Batch> TakeFinished();
  // A batch taken back, sent, for reuse.
  void Recycle(std::unique_ptr<Batch> batch);

  size_t InFlight() const { return inFlight_; }
  bool Full() const { return InFlight() >= kMaxInFlight; }
  int DoneFd() const { return done_.Fd(); }

 private:
  // A sealer's contexts, for the peer it last sealed for.
  struct Keys {
    std::shared_ptr<EspPeer> peer;
    std::unique_ptr<EspSealer> sealer;
  };
  static void Seal(Batch& batch, Keys& keys);
  void SealerLoop();

  // The device thread's: its contexts, used batches, and the packets
  // submitted and not taken back.
  Keys ownKeys_;
  std::vector<std::unique_ptr<Batch>> spare_;
  size_t inFlight_ = 0;

  mutable std::mutex mutex_;
  std::condition_variable wake_;  // a batch for the sealers, or stop
  // Every submitted batch not taken back, in framing order (owned); the
  // sealers take from todo_, which points into it.
  std::deque<std::unique_ptr<Batch>> order_;
  std::deque<Batch*> todo_;
  bool stop_ = false;
  // Set by the sealer that finishes the oldest batch, reset by the
  // TakeFinished that finds none (both under mutex_).
  platform::Event done_{platform::Event::Reset::Manual};
  std::vector<std::thread> threads_;
};

}  // namespace vqgateway
