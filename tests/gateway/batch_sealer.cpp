#include "gateway/batch_sealer.h"

#include <algorithm>
#include <chrono>

#include "platform/process/usable_cpus.h"

namespace vqgateway {
namespace {

// How long a helper, or the caller at the join, spins before it sleeps:
// batches come back to back under load, and a sleep and a wake-up cost
// about what a run of a batch does.
constexpr auto kSpin = std::chrono::microseconds(50);

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// True once done() holds, false when kSpin passed first.
template <typename Done>
bool SpinUntil(Done done) {
  const auto until = std::chrono::steady_clock::now() + kSpin;
  for (unsigned i = 1;; ++i) {
    if (done()) return true;
    CpuRelax();
    if (i % 64 == 0 && std::chrono::steady_clock::now() >= until) return false;
  }
}

}  // namespace

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
  const auto joined = [this] { return pending_.load(std::memory_order_acquire) == 0; };
  if (SpinUntil(joined)) return;
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, joined);
}

size_t BatchSealer::RunStart(size_t index) const { return datagrams_.size() * index / runs_; }

void BatchSealer::SealRun(size_t index) {
  EspSealer& sealer = *sealers_[index];
  for (size_t i = RunStart(index), end = RunStart(index + 1); i < end; ++i) sealed_[i] = sealer.Seal(datagrams_[i]);
}

void BatchSealer::HelperLoop(size_t index) {
  uint64_t seen = 0;
  const auto more = [this, &seen] { return batch_.load(std::memory_order_acquire) != seen; };
  for (;;) {
    if (!SpinUntil(more)) {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this, &more] { return stop_ || more(); });
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
