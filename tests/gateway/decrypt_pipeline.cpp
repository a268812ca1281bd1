#include "gateway/decrypt_pipeline.h"

#include <algorithm>

#include "platform/process/usable_cpus.h"

namespace vqgateway {

unsigned DecryptPipeline::DecryptorsForThisMachine() {
  // One processor is the receive thread's.
  const unsigned usable = platform::process::UsableCpuCount();
  return std::min(kMaxDecryptors, usable > 1 ? usable - 1 : 1u);
}

DecryptPipeline::DecryptPipeline(unsigned decryptors, size_t rooms, size_t roomBytes, size_t roomMessages,
                                 Deliver deliver)
    : maxRooms_(std::max<size_t>(rooms, 1)),
      roomBytes_(roomBytes),
      roomMessages_(roomMessages),
      deliver_(std::move(deliver)) {
  for (unsigned i = 0; i < std::max(decryptors, 1u); ++i) threads_.emplace_back([this] { DecryptorLoop(); });
}

DecryptPipeline::~DecryptPipeline() { Stop(); }

void DecryptPipeline::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  work_.notify_all();
  roomFree_.notify_all();
  for (std::thread& thread : threads_) {
    if (thread.joinable()) thread.join();
  }
}

ReceiveRoom* DecryptPipeline::Acquire() {
  std::unique_lock<std::mutex> lock(mutex_);
  roomFree_.wait(lock, [this] { return stop_ || !free_.empty() || rooms_.size() < maxRooms_; });
  if (stop_) return nullptr;
  if (free_.empty()) {
    rooms_.push_back(std::make_unique<ReceiveRoom>(roomBytes_, roomMessages_));
    return rooms_.back().get();
  }
  ReceiveRoom* room = free_.back();
  free_.pop_back();
  return room;
}

void DecryptPipeline::Release(ReceiveRoom& room) {
  std::lock_guard<std::mutex> lock(mutex_);
  free_.push_back(&room);
  room.peer.reset();
  roomFree_.notify_one();
}

void DecryptPipeline::ReleaseLocked(ReceiveRoom& room) {
  free_.push_back(&room);
  room.peer.reset();
  --inFlight_;
  roomFree_.notify_one();
}

void DecryptPipeline::Submit(ReceiveRoom& room) {
  const size_t count = room.datagrams.size();
  if (count == 0) {
    Release(room);
    return;
  }
  const size_t batches = (count + kBatchDatagrams - 1) / kBatchDatagrams;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    room.undelivered = batches;
    ++inFlight_;
    // Cut evenly, so that the decryptors finish them about together.
    for (size_t i = 0; i < batches; ++i) {
      order_.push_back({&room, count * i / batches, count * (i + 1) / batches, false});
    }
  }
  if (batches == 1) {
    work_.notify_one();
  } else {
    work_.notify_all();
  }
}

bool DecryptPipeline::Idle() {
  std::lock_guard<std::mutex> lock(mutex_);
  return inFlight_ == 0;
}

void DecryptPipeline::DecryptorLoop() {
  std::shared_ptr<EspPeer> peer;  // whose contexts opener holds
  std::unique_ptr<EspOpener> opener;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    work_.wait(lock, [this] { return stop_ || taken_ < order_.size(); });
    if (stop_) return;
    // Stays put: only delivering removes it, once it is decrypted.
    Batch& batch = order_[taken_++];
    lock.unlock();
    ReceiveRoom& room = *batch.room;
    if (room.peer != peer) {
      opener.reset();
      peer = room.peer;
      opener = peer->NewOpener();
    }
    for (size_t i = batch.first; i < batch.end; ++i) {
      ReceivedDatagram& d = room.datagrams[i];
      d.ok = opener->Open(d.data, d.inner);
    }
    lock.lock();
    batch.decrypted = true;
    if (delivering_) continue;  // the deliverer will come to it
    delivering_ = true;
    while (!stop_ && !order_.empty() && order_.front().decrypted) {
      const Batch done = order_.front();
      order_.pop_front();
      --taken_;
      lock.unlock();
      deliver_(std::span(done.room->datagrams).subspan(done.first, done.end - done.first));
      lock.lock();
      if (--done.room->undelivered == 0) ReleaseLocked(*done.room);
    }
    delivering_ = false;
  }
}

}  // namespace vqgateway
