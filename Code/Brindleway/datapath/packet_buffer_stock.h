// One thread's stock of emptied packet buffers. Each direction's thread
// frees a buffer for every packet its writer finished (the adapter's for
// the inbound thread, the socket's for the outbound one) and wants one for
// every packet its reader takes in; handing them straight back to itself
// costs neither the pool's lock nor, once the pool's fixed buffers are all
// out (each direction's pipeline alone holds more), the heap allocation,
// zeroing and free of each one. Owned by one thread; what it holds stays
// counted as in use.
#pragma once

#include <cstddef>

#include "Brindleway/datapath/packet_buffer_pool.h"
#include "Brindleway/datapath/packet_queue.h"

namespace brindleway {

class PacketBufferStock {
 public:
  // Holds at most limit buffers; more given go back to the pool.
  explicit PacketBufferStock(size_t limit) : limit_(limit) {}

  // A kept buffer, emptied (data at its headroom, length 0), else a fresh
  // one from the pool (buf_desc_alloc(0)), else empty.
  BufDescPtr Take();
  // Keeps buffer for a later Take while fewer than the limit are held.
  void Give(BufDescPtr buffer);
  size_t Held() const { return held_.Size(); }
  // Every held buffer back to the pool.
  void Clear() { held_.Clear(); }

 private:
  size_t limit_;
  PacketQueue held_;
};

}  // namespace brindleway
