// A queue of packet buffers on their way to the adapter or to the socket.
// Owns what it holds; a buffer taken out is the taker's. The descriptors'
// own links chain it, so queueing a packet allocates nothing.
#pragma once

#include <cstddef>
#include <utility>

#include "Brindleway/datapath/packet_buffer_pool.h"

namespace brindleway {

class PacketQueue {
 public:
  PacketQueue() = default;
  ~PacketQueue() { Clear(); }
  PacketQueue(const PacketQueue&) = delete;
  PacketQueue& operator=(const PacketQueue&) = delete;
  PacketQueue(PacketQueue&& other) noexcept { *this = std::move(other); }
  PacketQueue& operator=(PacketQueue&& other) noexcept {
    if (this != &other) {
      Clear();
      std::swap(head_, other.head_);
      std::swap(tail_, other.tail_);
      std::swap(size_, other.size_);
    }
    return *this;
  }

  bool Empty() const { return head_ == nullptr; }
  size_t Size() const { return size_; }
  void PushBack(BufDescPtr packet) {
    buf_desc* p = packet.release();
    if (p == nullptr) return;
    p->pNext = nullptr;
    p->pPrev = tail_;
    (tail_ != nullptr ? tail_->pNext : head_) = p;
    tail_ = p;
    ++size_;
  }
  void PushFront(BufDescPtr packet) {
    buf_desc* p = packet.release();
    if (p == nullptr) return;
    p->pPrev = nullptr;
    p->pNext = head_;
    (head_ != nullptr ? head_->pPrev : tail_) = p;
    head_ = p;
    ++size_;
  }
  // Empty when the queue is.
  BufDescPtr PopFront() {
    buf_desc* p = head_;
    if (p == nullptr) return nullptr;
    head_ = p->pNext;
    (head_ != nullptr ? head_->pPrev : tail_) = nullptr;
    p->pNext = nullptr;
    p->pPrev = nullptr;
    --size_;
    return BufDescPtr(p);
  }
  const buf_desc* Front() const { return head_; }
  // Every buffer goes back to the pool.
  void Clear() {
    while (!Empty()) PopFront();
  }

 private:
  buf_desc* head_ = nullptr;
  buf_desc* tail_ = nullptr;
  size_t size_ = 0;
};

}  // namespace brindleway
