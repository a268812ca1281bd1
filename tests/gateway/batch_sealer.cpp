#include "gateway/batch_sealer.h"

#include <algorithm>

#include "platform/process/usable_cpus.h"

namespace vqgateway {

unsigned BatchSealer::SealersForThisMachine() {
  return std::min(kMaxSealers, platform::process::UsableCpuCount());
}

BatchSealer::BatchSealer(unsigned sealers) : sealers_(std::clamp(sealers, 1u, kMaxSealers)) {
  for (size_t i = 1; i < sealers_.size(); ++i) helpers_.emplace_back([this, i] { HelperLoop(i); });
}

BatchSealer::~BatchSealer() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  for (std::thread& helper : helpers_) helper.join();
}

void BatchSealer::Seal(const std::shared_ptr<EspPeer>& peer, std::span<const std::span<uint8_t>> datagrams,
                       std::span<bool> sealed) {
  // The helpers are idle between batches: their contexts may change here.
  if (peer != peer_) {
    peer_ = peer;
    for (auto& sealer : sealers_) sealer = peer_->NewSealer();
  }
  datagrams_ = datagrams;
  sealed_ = sealed;
  runs_ = datagrams.size() <= 2 ? 1 : sealers_.size();
  if (runs_ > 1) {
    pending_.store(runs_ - 1, std::memory_order_relaxed);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      batch_.fetch_add(1, std::memory_order_release);
    }
    wake_.notify_all();
  }
  SealRun(0);
  if (runs_ == 1) return;
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, [this] { return pending_.load(std::memory_order_acquire) == 0; });
}

size_t BatchSealer::RunStart(size_t index) const { return datagrams_.size() * index / runs_; }

void BatchSealer::SealRun(size_t index) {
  EspSealer& sealer = *sealers_[index];
  for (size_t i = RunStart(index), end = RunStart(index + 1); i < end; ++i) sealed_[i] = sealer.Seal(datagrams_[i]);
}

void BatchSealer::HelperLoop(size_t index) {
  uint64_t seen = 0;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this, seen] { return stop_ || batch_.load(std::memory_order_acquire) != seen; });
      if (stop_) return;
    }
    seen = batch_.load(std::memory_order_acquire);
    SealRun(index);
    if (pending_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      // Under the lock, so the caller is either still to test the count or
      // already waiting for this.
      { std::lock_guard<std::mutex> lock(mutex_); }
      done_.notify_one();
    }
  }
}

}  // namespace vqgateway
