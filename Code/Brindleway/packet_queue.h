// A queue of packet buffers on their way to the adapter or to the socket.
// Owns what it holds; a buffer taken out is the taker's.
#pragma once

#include <cstddef>
#include <deque>
#include <utility>

#include "Brindleway/packet_buffer_pool.h"

namespace brindleway {

class PacketQueue {
 public:
  bool Empty() const { return items_.empty(); }
  size_t Size() const { return items_.size(); }
  void PushBack(BufDescPtr packet) {
    if (packet) items_.push_back(std::move(packet));
  }
  void PushFront(BufDescPtr packet) {
    if (packet) items_.push_front(std::move(packet));
  }
  // Empty when the queue is.
  BufDescPtr PopFront() {
    if (items_.empty()) return nullptr;
    BufDescPtr packet = std::move(items_.front());
    items_.pop_front();
    return packet;
  }
  const buf_desc* Front() const { return items_.empty() ? nullptr : items_.front().get(); }
  // Every buffer goes back to the pool.
  void Clear() { items_.clear(); }

 private:
  std::deque<BufDescPtr> items_;
};

}  // namespace brindleway
