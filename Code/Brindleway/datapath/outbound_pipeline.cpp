#include "Brindleway/datapath/outbound_pipeline.h"

#include <algorithm>
#include <utility>

#include "Brindleway/datapath/traffic_counters.h"

namespace brindleway {

size_t CryptoWorkerCount(unsigned cpus) { return std::clamp<size_t>(cpus, 1, kMaxCryptoWorkers); }

OutboundPipeline::OutboundPipeline(size_t workers) {
  workers_.reserve(workers);
  for (size_t i = 0; i < workers; ++i) workers_.emplace_back([this] { WorkerLoop(); });
}

OutboundPipeline::~OutboundPipeline() { Stop(); }

void OutboundPipeline::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& worker : workers_) {
    if (worker.joinable()) worker.join();
  }
  // The workers are gone: nothing else touches the batches now.
  std::lock_guard<std::mutex> lock(mutex_);
  todo_.clear();
  order_.clear();
  inFlight_ = 0;
  done_.Reset();
  staging_.reset();
  spare_.clear();
}

std::unique_ptr<OutboundPipeline::Batch> OutboundPipeline::TakeSpare() {
  if (spare_.empty()) return std::make_unique<Batch>();
  std::unique_ptr<Batch> batch = std::move(spare_.back());
  spare_.pop_back();
  return batch;
}

void OutboundPipeline::Add(BufDescPtr datagram, const EspSealJob& job, uint32_t innerLength) {
  if (datagram == nullptr) return;
  if (staging_ == nullptr) staging_ = TakeSpare();
  staging_->bytes += datagram->dwLength;
  staging_->packets.push_back(Packet{std::move(datagram), job, innerLength, false});
}

void OutboundPipeline::Seal(Batch& batch, EspSealKeys& keys) {
  for (Packet& packet : batch.packets) {
    packet.sealed = esp_encap_seal(packet.datagram.get(), packet.job, keys) == 0;
  }
}

void OutboundPipeline::Append(Batch& batch, PacketQueue& out) {
  for (Packet& packet : batch.packets) {
    if (!packet.sealed) continue;
    TheTrafficCounters().CountSent(packet.innerLength);
    out.PushBack(std::move(packet.datagram));
  }
  batch.packets.clear();
  batch.bytes = 0;
  batch.done = false;
}

void OutboundPipeline::Submit(PacketQueue& out) {
  if (staging_ == nullptr || staging_->packets.empty()) return;
  std::unique_ptr<Batch> batch = std::move(staging_);
  const bool small = batch->bytes <= kSealInlineBytes;
  if (small) Seal(*batch, inlineKeys_);
  {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!order_.empty() || !small) {
      inFlight_ += batch->packets.size();
      Batch* submitted = batch.get();
      order_.push_back(std::move(batch));
      if (small) {
        // Finished already; it leaves after the batches before it.
        MarkDone(*submitted);
        return;
      }
      todo_.push_back(submitted);
      lock.unlock();
      wake_.notify_one();
      return;
    }
  }
  // Nothing is on its way: this batch is next on the wire anyway.
  Append(*batch, out);
  spare_.push_back(std::move(batch));
}

bool OutboundPipeline::SealOne() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (todo_.empty()) return false;
  Batch* batch = todo_.front();
  todo_.pop_front();
  lock.unlock();
  Seal(*batch, inlineKeys_);
  lock.lock();
  MarkDone(*batch);
  return true;
}

void OutboundPipeline::MarkDone(Batch& batch) {
  batch.done = true;
  if (order_.front().get() == &batch && !done_.IsSet()) done_.Set();
}

void OutboundPipeline::Collect(PacketQueue& out) {
  std::vector<std::unique_ptr<Batch>> finished;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    while (!order_.empty() && order_.front()->done) {
      inFlight_ -= order_.front()->packets.size();
      finished.push_back(std::move(order_.front()));
      order_.pop_front();
    }
    // Under the lock, so that a worker finishing the new oldest batch sets
    // it again after this; looked at first, as a reset costs a system call.
    if (done_.IsSet()) done_.Reset();
  }
  for (std::unique_ptr<Batch>& batch : finished) {
    Append(*batch, out);
    spare_.push_back(std::move(batch));
  }
}

size_t OutboundPipeline::InFlight() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return inFlight_;
}

bool OutboundPipeline::HasCollectable() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return !order_.empty() && order_.front()->done;
}

void OutboundPipeline::WorkerLoop() {
  EspSealKeys keys;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || !todo_.empty(); });
    if (stopping_) return;
    Batch* batch = todo_.front();
    todo_.pop_front();
    lock.unlock();
    Seal(*batch, keys);
    lock.lock();
    MarkDone(*batch);
  }
}

}  // namespace brindleway
