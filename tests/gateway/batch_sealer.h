// Seals a batch of framed datagrams (EspPeer::Frame) on the calling thread
// and up to two helper threads side by side, fork and join: the batch is
// cut into one run per sealer, the helpers seal theirs while the caller
// seals the first, and Seal returns once all are done, so the caller sends
// them in their framed order. Every sealer has its own contexts of the
// peer, made again when the peer changes (new keys). A batch of one or two
// datagrams is sealed on the calling thread alone, waking no one.
//
// One caller at a time.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "gateway/esp_peer.h"

namespace vqgateway {

class BatchSealer {
 public:
  // The most sealers, the caller included.
  static constexpr unsigned kMaxSealers = 3;
  // For the processors this process may use: one sealer each, at most
  // kMaxSealers.
  static unsigned SealersForThisMachine();

  // sealers counts the caller: 1 starts no thread. Clamped to
  // 1..kMaxSealers.
  explicit BatchSealer(unsigned sealers);
  ~BatchSealer();
  BatchSealer(const BatchSealer&) = delete;
  BatchSealer& operator=(const BatchSealer&) = delete;

  unsigned Sealers() const { return static_cast<unsigned>(sealers_.size()); }

  // Seals each datagram with peer's send keys in place; sealed[i] tells
  // whether datagram i's crypto succeeded.
  void Seal(const std::shared_ptr<EspPeer>& peer, std::span<const std::span<uint8_t>> datagrams,
            std::span<bool> sealed);

 private:
  void HelperLoop(size_t index);
  void SealRun(size_t index);
  // Datagrams [first, end) of the current batch for sealer index.
  size_t RunStart(size_t index) const;

  std::shared_ptr<EspPeer> peer_;  // whose contexts the sealers hold
  std::vector<std::unique_ptr<EspSealer>> sealers_;  // [0]: the caller's
  // The current batch: written by the caller before it bumps batch_, read
  // by the helpers after they see the bump.
  std::span<const std::span<uint8_t>> datagrams_;
  std::span<bool> sealed_;
  size_t runs_ = 0;
  std::atomic<uint64_t> batch_{0};
  std::atomic<size_t> pending_{0};  // helpers' runs not yet sealed
  std::mutex mutex_;
  std::condition_variable wake_;  // a batch for the helpers, or stop
  std::condition_variable done_;  // the helpers' runs sealed
  bool stop_ = false;  // under mutex_
  std::vector<std::thread> helpers_;
};

}  // namespace vqgateway
