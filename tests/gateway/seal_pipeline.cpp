#include "gateway/seal_pipeline.h"

#include <algorithm>

#include "platform/process/usable_cpus.h"

namespace vqgateway {

unsigned SealPipeline::SealersForThisMachine() {
  return std::min(kMaxSealers, platform::process::UsableCpuCount());
}

void SealPipeline::Batch::Reserve(size_t size) {
  if (roomSize_ >= size) return;
  room_ = std::make_unique_for_overwrite<uint8_t[]>(size);
  roomSize_ = size;
}

void SealPipeline::Batch::Clear() {
  peer.reset();
  datagrams.clear();
  sealed.clear();
  payload = 0;
  done = false;
}

SealPipeline::SealPipeline(unsigned sealers) {
  const unsigned threads = std::clamp(sealers, 1u, kMaxSealers) - 1;
  for (unsigned i = 0; i < threads; ++i) threads_.emplace_back([this] { SealerLoop(); });
}

SealPipeline::~SealPipeline() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

std::unique_ptr<SealPipeline::Batch> SealPipeline::NewBatch() {
  if (spare_.empty()) return std::make_unique<Batch>();
  std::unique_ptr<Batch> batch = std::move(spare_.back());
  spare_.pop_back();
  return batch;
}

void SealPipeline::Recycle(std::unique_ptr<Batch> batch) {
  batch->Clear();
  spare_.push_back(std::move(batch));
}

void SealPipeline::Seal(Batch& batch, Keys& keys) {
  if (keys.peer != batch.peer) {
    keys.peer = batch.peer;
    keys.sealer = keys.peer->NewSealer();
  }
  batch.sealed.resize(batch.datagrams.size());
  for (size_t i = 0; i < batch.datagrams.size(); ++i) batch.sealed[i] = keys.sealer->Seal(batch.datagrams[i]) ? 1 : 0;
}

void SealPipeline::Submit(std::unique_ptr<Batch> batch) {
  inFlight_ += batch->datagrams.size();
  Batch* const submitted = batch.get();
  const bool here = threads_.empty() || batch->payload <= kSealInlineBytes;
  if (here) Seal(*batch, ownKeys_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // Sealed here, it is taken back by the device thread's next
    // TakeFinished, with no wake-up.
    submitted->done = here;
    order_.push_back(std::move(batch));
    if (!here) todo_.push_back(submitted);
  }
  if (!here) wake_.notify_one();
}

bool SealPipeline::SealOne() {
  Batch* batch = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (todo_.empty()) return false;
    batch = todo_.front();
    todo_.pop_front();
  }
  Seal(*batch, ownKeys_);
  std::lock_guard<std::mutex> lock(mutex_);
  batch->done = true;
  return true;
}

std::unique_ptr<SealPipeline::Batch> SealPipeline::TakeFinished() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (order_.empty() || !order_.front()->done) {
    // Under the lock: a sealer finishing the oldest now sets it again.
    if (done_.IsSet()) done_.Reset();
    return nullptr;
  }
  std::unique_ptr<Batch> batch = std::move(order_.front());
  order_.pop_front();
  inFlight_ -= batch->datagrams.size();
  return batch;
}

void SealPipeline::SealerLoop() {
  Keys keys;
  for (;;) {
    Batch* batch = nullptr;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stop_ || !todo_.empty(); });
      if (stop_) return;
      batch = todo_.front();
      todo_.pop_front();
    }
    Seal(*batch, keys);
    std::lock_guard<std::mutex> lock(mutex_);
    batch->done = true;
    if (order_.front().get() == batch) done_.Set();
  }
}

}  // namespace vqgateway
