#include "Brindleway/datapath/packet_buffer_stock.h"

#include <utility>

namespace brindleway {

BufDescPtr PacketBufferStock::Take() {
  BufDescPtr buffer = held_.PopFront();
  if (buffer == nullptr) return buf_desc_alloc(0);
  buf_desc_reset(buffer.get());
  return buffer;
}

void PacketBufferStock::Give(BufDescPtr buffer) {
  if (buffer == nullptr || held_.Size() >= limit_) return;
  // Last in, first out: the buffer most likely still in the cache.
  held_.PushFront(std::move(buffer));
}

}  // namespace brindleway
