// Packet buffers of the data path: 200 fixed buffers from one preallocated
// block, then single heap buffers up to a limit, and the descriptors that
// wrap one buffer with the place and length of the packet inside it.
// Process-wide and thread-safe.
//
// Each pool buffer has a descriptor of its own, made once for the life of
// the process, so a packet's descriptor costs no allocation; a heap buffer's
// descriptor is allocated with it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace brindleway {

inline constexpr size_t PACKET_BUFFER_SIZE = 2048;
// Headroom for the encapsulation headers put in front of a packet.
inline constexpr size_t PACKET_HEADROOM = 96;
inline constexpr uint32_t PACKET_MAX_LENGTH = 1856;
inline constexpr size_t PACKET_POOL_BUFFERS = 200;
inline constexpr size_t PACKET_POOL_ALIGN = 32;
inline constexpr size_t PACKET_POOL_BLOCK_SIZE = PACKET_POOL_BUFFERS * PACKET_BUFFER_SIZE + PACKET_POOL_ALIGN - 1;
// Buffers in use (pool and heap alike) past which an unforced allocation
// is refused.
inline constexpr int32_t PACKET_BUFFER_LIMIT = 3000;
// Written at the end of every heap buffer.
inline constexpr size_t PACKET_GUARD_OFFSET = 2044;
inline constexpr uint32_t PACKET_GUARD_WORD = 0xCDCDABAB;

struct buf_desc {
  uint8_t* pBuffer = nullptr;
  uint32_t dwCapacity = 0;
  // First byte of the packet.
  uint8_t* pData = nullptr;
  uint32_t dwLength = 0;
  // Links for the data path's queues; not owning.
  buf_desc* pNext = nullptr;
  buf_desc* pPrev = nullptr;
  // 1: the buffer came from the heap, 0: from the pool.
  uint8_t btOverflow = 0;
};

// 0, or -1 when the block can't be allocated or a pool already exists.
int data_buffer_pool_init();
// Buffers still handed out are not tracked: the data path returns them all
// first.
void data_buffer_pool_destroy();

// A buffer, or nullptr. Refused (force 0) when PACKET_BUFFER_LIMIT buffers
// are in use and the pool is empty. bOverflow: 1 for a heap buffer.
uint8_t* data_buffer_alloc(int force, uint8_t& btOverflow);
// btOverflow as data_buffer_alloc gave it; it alone decides heap or pool.
// A buffer that isn't one this pool handed out is logged and left alone.
void data_buffer_free(uint8_t* pBuffer, uint8_t btOverflow);
// Buffers handed out and not yet returned.
int32_t data_buffer_in_use();

void buf_desc_free(buf_desc* pDesc);

struct BufDescDeleter {
  void operator()(buf_desc* pDesc) const noexcept { buf_desc_free(pDesc); }
};
// Returns its buffer and frees the descriptor when dropped.
using BufDescPtr = std::unique_ptr<buf_desc, BufDescDeleter>;

// A descriptor with a fresh buffer (data at buffer + 96, length 0,
// capacity 1856), or empty.
BufDescPtr buf_desc_alloc(int force);
// Empties the descriptor; it keeps its buffer.
void buf_desc_reset(buf_desc* pDesc);

// Owns the pool's lifetime: created before the data-path threads start and
// destroyed after they were joined.
class PacketBufferPool {
 public:
  PacketBufferPool();
  ~PacketBufferPool();
  PacketBufferPool(const PacketBufferPool&) = delete;
  PacketBufferPool& operator=(const PacketBufferPool&) = delete;

  // 0 when this object created the pool, else -1.
  int Result() const { return m_bOwner ? 0 : -1; }

 private:
  bool m_bOwner = false;
};

}  // namespace brindleway
