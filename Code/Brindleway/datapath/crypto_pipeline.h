// The data path's crypto on several cores, one pipeline per direction: the
// I/O thread of the direction prepares each datagram in order (the send
// side frames it under the SA lock, the receive side checks its SPI and
// lengths under the inbound lock) and hands the datagrams of a read or a
// pass over as one batch; a small pool of worker threads does the CBC and
// HMAC of whole batches (each worker with its own keys), in any order and
// side by side; the I/O thread collects them in the order it prepared
// them, so datagrams leave and packets reach the adapter in order and a
// TCP stream inside the tunnel sees no reordering.
//
//   I/O thread: prepare ... Add ... Submit
//   workers:    Stage::Work on a whole batch with their own Stage::Keys
//   I/O thread: Collect (finished batches from the oldest on, in order)
//
// A batch of no more than kPipelineInlineBytes is worked on the I/O thread
// at once: handing it over would cost more than its crypto, and a lone
// packet of an idle tunnel makes no hop between threads. It is delivered at
// once when nothing is on its way, else after the batches before it.
//
// The I/O thread is a worker too: with nothing to read or write it works
// the oldest batch no worker has taken (WorkOne) before it waits.
//
// The I/O thread stops reading while kPipelineMaxPackets packets are on
// their way (the adapter's or the socket's own queue holds the rest) and
// waits for WakeFd(), which is readable while the oldest batch is finished
// once the thread said it waits (ArmWake): a busy I/O thread collects what
// is finished on its next pass anyway, so it costs the workers no system
// call to tell it and it no system call to take the news back.
//
// A Stage is a type with: Item (movable, with a BufDescPtr datagram), Keys
// (one per thread) and static void Work(Item&, Keys&).
//
// Every method but the workers' own is for the direction's I/O thread.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/sync/event.h"

namespace brindleway {

inline constexpr size_t kMaxCryptoWorkers = 4;
inline constexpr size_t kPipelineMaxPackets = 384;
inline constexpr size_t kPipelineInlineBytes = 4096;
// A batch handed over before the pass ends once it has this many.
inline constexpr size_t kPipelineBatchPackets = 64;

// The workers for a process that may use cpus processors, the I/O thread
// included: one per processor up to kMaxCryptoWorkers; 1 (no pool) on one
// processor.
inline size_t CryptoWorkerCount(unsigned cpus) { return std::clamp<size_t>(cpus, 1, kMaxCryptoWorkers); }

template <typename Stage>
class CryptoPipeline {
 public:
  using Item = typename Stage::Item;
  using Keys = typename Stage::Keys;

  // workers >= 1 threads besides the I/O thread.
  explicit CryptoPipeline(size_t workers) {
    workers_.reserve(workers);
    for (size_t i = 0; i < workers; ++i) workers_.emplace_back([this] { WorkerLoop(); });
  }
  ~CryptoPipeline() { Stop(); }
  CryptoPipeline(const CryptoPipeline&) = delete;
  CryptoPipeline& operator=(const CryptoPipeline&) = delete;

  size_t Workers() const { return workers_.size(); }

  // An item for the batch being filled; bytes is what the inline limit
  // counts.
  void Add(Item item, size_t bytes) {
    if (staging_ == nullptr) staging_ = TakeSpare();
    staging_->bytes += bytes;
    staging_->items.push_back(std::move(item));
  }
  size_t Staged() const { return staging_ != nullptr ? staging_->items.size() : 0; }
  size_t StagedBytes() const { return staging_ != nullptr ? staging_->bytes : 0; }

  // The batch being filled goes to the workers, or, when small, is worked
  // at once and given to deliver (Item&, in order) when nothing is on its
  // way (else it waits in order, finished).
  template <typename Deliver>
  void Submit(Deliver&& deliver) {
    if (staging_ == nullptr || staging_->items.empty()) return;
    std::unique_ptr<Batch> batch = std::move(staging_);
    const bool small = batch->bytes <= kPipelineInlineBytes;
    if (small) Work(*batch, inlineKeys_);
    {
      std::unique_lock<std::mutex> lock(mutex_);
      if (!order_.empty() || !small) {
        inFlight_ += batch->items.size();
        Batch* submitted = batch.get();
        order_.push_back(std::move(batch));
        if (small) {
          // Finished already; it goes after the batches before it.
          MarkDone(*submitted);
          return;
        }
        todo_.push_back(submitted);
        lock.unlock();
        wake_.notify_one();
        return;
      }
    }
    // Nothing is on its way: this batch is next anyway.
    DeliverBatch(*batch, deliver);
    spare_.push_back(std::move(batch));
  }

  // Works the oldest batch no worker has taken; false when there is none.
  bool WorkOne() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (todo_.empty()) return false;
    Batch* batch = todo_.front();
    todo_.pop_front();
    lock.unlock();
    Work(*batch, inlineKeys_);
    lock.lock();
    MarkDone(*batch);
    return true;
  }

  // The finished batches, from the oldest on up to the first unfinished
  // one, while they hold no more than maxItems items together (the first
  // one always), given to deliver (Item&) in order.
  template <typename Deliver>
  void Collect(Deliver&& deliver, size_t maxItems = static_cast<size_t>(-1)) {
    std::vector<std::unique_ptr<Batch>>& finished = collected_;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      size_t items = 0;
      while (!order_.empty() && order_.front()->done) {
        const size_t size = order_.front()->items.size();
        if (!finished.empty() && items + size > maxItems) break;
        items += size;
        inFlight_ -= size;
        finished.push_back(std::move(order_.front()));
        order_.pop_front();
      }
      // Under the lock, so that a worker finishing the new oldest batch
      // after this sees the thread busy; looked at first, as a reset costs
      // a system call. What is left finished is for the next pass, or sets
      // it again when the thread waits.
      waiting_ = false;
      if (done_.IsSet()) done_.Reset();
    }
    for (std::unique_ptr<Batch>& batch : finished) {
      DeliverBatch(*batch, deliver);
      spare_.push_back(std::move(batch));
    }
    finished.clear();
  }

  // Items submitted and not collected yet.
  size_t InFlight() const { return inFlight_; }
  bool Full() const { return InFlight() >= kPipelineMaxPackets; }
  // The oldest batch is finished: Collect has something to give.
  bool HasCollectable() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return !order_.empty() && order_.front()->done;
  }
  // The I/O thread is about to wait for WakeFd(): from here until its next
  // Collect, WakeFd() is readable while HasCollectable().
  void ArmWake() {
    std::lock_guard<std::mutex> lock(mutex_);
    waiting_ = true;
    if (!order_.empty() && order_.front()->done && !done_.IsSet()) done_.Set();
  }
  int WakeFd() const { return done_.Fd(); }

  // Stops and joins the workers and drops every item held. Nothing may be
  // added afterwards; the destructor does it too.
  void Stop() {
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
    waiting_ = false;
    done_.Reset();
    staging_.reset();
    spare_.clear();
  }

 private:
  struct Batch {
    std::vector<Item> items;
    size_t bytes = 0;
    bool done = false;
  };

  static void Work(Batch& batch, Keys& keys) {
    for (Item& item : batch.items) Stage::Work(item, keys);
  }
  template <typename DeliverItem>
  static void DeliverBatch(Batch& batch, DeliverItem& deliver) {
    for (Item& item : batch.items) deliver(item);
    batch.items.clear();
    batch.bytes = 0;
    batch.done = false;
  }
  // Under mutex_: batch finished; the wake-up when it is the oldest and
  // the I/O thread waits for it.
  void MarkDone(Batch& batch) {
    batch.done = true;
    if (waiting_ && order_.front().get() == &batch && !done_.IsSet()) done_.Set();
  }
  std::unique_ptr<Batch> TakeSpare() {
    if (spare_.empty()) return std::make_unique<Batch>();
    std::unique_ptr<Batch> batch = std::move(spare_.back());
    spare_.pop_back();
    return batch;
  }
  void WorkerLoop() {
    Keys keys;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return stopping_ || !todo_.empty(); });
      if (stopping_) return;
      Batch* batch = todo_.front();
      todo_.pop_front();
      lock.unlock();
      Work(*batch, keys);
      lock.lock();
      MarkDone(*batch);
    }
  }

  // The I/O thread's own: the batch being filled, emptied batches for
  // reuse, the batches of one Collect, the keys of inline work, and the
  // count of items on their way (it alone submits and collects, so it
  // reads the count, for every read it may make, without the lock).
  std::unique_ptr<Batch> staging_;
  std::vector<std::unique_ptr<Batch>> spare_;
  std::vector<std::unique_ptr<Batch>> collected_;
  Keys inlineKeys_;
  size_t inFlight_ = 0;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  // Every submitted batch in the order it was prepared (owned); the
  // workers take from todo_, which points into it.
  std::deque<std::unique_ptr<Batch>> order_;
  std::deque<Batch*> todo_;
  bool stopping_ = false;
  // Between ArmWake and the next Collect.
  bool waiting_ = false;
  // Set while the oldest batch is finished and waiting_ (under mutex_).
  platform::Event done_{platform::Event::Reset::Manual};
  std::vector<std::thread> workers_;
};

}  // namespace brindleway
