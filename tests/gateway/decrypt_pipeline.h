// Decapsulates the client's datagrams on several threads and hands them
// on in the order they were received, pipelined: the receive thread takes
// a room (a receive's buffers) from a small pool, receives into it, lists
// its datagrams and submits it; the room is cut into batches of a few
// dozen datagrams that the decryptors take in turn, each with EspOpener
// contexts of its own. Whichever decryptor finishes the oldest batch
// delivers it, and every later batch that is done, one deliverer at a
// time, so the deliver function sees the batches one after another in
// receive order. A room goes back to the pool once all its batches were
// delivered: the datagrams stay valid until then.
//
// The pool bounds what is in flight: with every room out, Acquire waits
// for one (the socket's buffer holds what comes meanwhile). Stop ends the
// waits and the threads; what was still in flight is dropped undelivered.
#pragma once

#include <netinet/in.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "gateway/esp_peer.h"

namespace vqgateway {

struct ReceivedDatagram {
  std::span<uint8_t> data;
  const sockaddr_in* from = nullptr;
  // Set by the decryptor: decapsulated, and the inner packet inside data.
  bool ok = false;
  std::span<uint8_t> inner;
};

// One receive: its bytes and senders, the datagrams found in them, and the
// peer whose keys open them.
struct ReceiveRoom {
  ReceiveRoom(size_t bytes, size_t messages) : bytes(bytes), senders(messages) {}
  std::vector<uint8_t> bytes;
  std::vector<sockaddr_in> senders;
  std::vector<ReceivedDatagram> datagrams;
  std::shared_ptr<EspPeer> peer;
  size_t undelivered = 0;  // the pipeline's: batches still to deliver
};

class DecryptPipeline {
 public:
  // The most decryptors.
  static constexpr unsigned kMaxDecryptors = 3;
  // Datagrams in one batch for a decryptor.
  static constexpr size_t kBatchDatagrams = 32;
  // One per processor this process may use but one, at most
  // kMaxDecryptors (1: none beside the receive thread).
  static unsigned DecryptorsForThisMachine();

  // Called on a decryptor thread, one batch at a time, in receive order.
  using Deliver = std::function<void(std::span<ReceivedDatagram> batch)>;

  // decryptors threads (at least 1), at most rooms rooms of roomBytes
  // bytes and roomMessages senders each, made when first needed.
  DecryptPipeline(unsigned decryptors, size_t rooms, size_t roomBytes, size_t roomMessages, Deliver deliver);
  ~DecryptPipeline();
  DecryptPipeline(const DecryptPipeline&) = delete;
  DecryptPipeline& operator=(const DecryptPipeline&) = delete;

  // A free room, waiting while all are in flight; null once stopped.
  ReceiveRoom* Acquire();
  // Its datagrams and peer set: decrypted and delivered, then back.
  void Submit(ReceiveRoom& room);
  // Back without being submitted.
  void Release(ReceiveRoom& room);
  // Nothing submitted is still to be delivered (nor being delivered).
  bool Idle();
  // Ends the waits and joins the decryptors; safe to call twice.
  void Stop();

 private:
  struct Batch {
    ReceiveRoom* room = nullptr;
    size_t first = 0;
    size_t end = 0;
    bool decrypted = false;
  };
  void DecryptorLoop();
  void ReleaseLocked(ReceiveRoom& room);

  const size_t maxRooms_;
  const size_t roomBytes_;
  const size_t roomMessages_;
  const Deliver deliver_;
  std::mutex mutex_;
  std::condition_variable work_;      // a batch to decrypt, or stop
  std::condition_variable roomFree_;  // a room back, or stop
  // Batches in receive order, from the oldest undelivered; the first
  // taken_ are taken by decryptors (or delivered, being delivered).
  std::deque<Batch> order_;
  size_t taken_ = 0;
  bool delivering_ = false;  // one deliverer at a time
  size_t inFlight_ = 0;      // rooms submitted and not back
  bool stop_ = false;
  std::vector<std::unique_ptr<ReceiveRoom>> rooms_;
  std::vector<ReceiveRoom*> free_;
  std::vector<std::thread> threads_;
};

}  // namespace vqgateway
