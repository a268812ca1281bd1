#include "Brindleway/datapath/packet_buffer_pool.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>

#include "support/log.h"
#include "support/wire.h"

namespace brindleway {
namespace {

// Heap buffers share the pool buffers' alignment.
constexpr std::align_val_t kHeapAlign{PACKET_POOL_ALIGN};
// A free pool buffer's first 4 bytes: 1 + the index of the next free one,
// 0 at the end of the list.
constexpr uint32_t kEndOfList = 0;

struct PoolState {
  std::mutex lock;
  std::unique_ptr<uint8_t[]> g_buffer_pool_ptr;
  // The first (32-byte aligned) buffer of the block.
  uint8_t* pFirst = nullptr;
  uint8_t* pFreeHead = nullptr;
  int32_t nInUse = 0;
  // Which pool buffers are on the free list, so that a buffer returned
  // twice can't make the list loop.
  bool bFree[PACKET_POOL_BUFFERS] = {};
  // The pool buffers' own descriptors. They outlive any pool, so one held
  // past a pool's end is still safe to free; while it is held, the buffer
  // of that index gets a heap descriptor instead.
  buf_desc descriptors[PACKET_POOL_BUFFERS];
  bool bDescriptorHeld[PACKET_POOL_BUFFERS] = {};
  // Each pool's number, and the pool each held descriptor's buffer came
  // from: a buffer of an earlier pool is never returned to a later one.
  uint32_t nGeneration = 0;
  uint32_t descriptorGeneration[PACKET_POOL_BUFFERS] = {};
};

PoolState& Pool() {
  static PoolState state;
  return state;
}

// Index of a pool buffer, or -1 for an address that isn't the start of one.
int PoolIndex(const PoolState& pool, const uint8_t* pBuffer) {
  if (pool.pFirst == nullptr) return -1;
  const auto addr = reinterpret_cast<uintptr_t>(pBuffer);
  const auto first = reinterpret_cast<uintptr_t>(pool.pFirst);
  if (addr < first) return -1;
  const uintptr_t offset = addr - first;
  if (offset % PACKET_BUFFER_SIZE != 0 || offset / PACKET_BUFFER_SIZE >= PACKET_POOL_BUFFERS) return -1;
  return static_cast<int>(offset / PACKET_BUFFER_SIZE);
}

bool InPoolBlock(const PoolState& pool, const uint8_t* pBuffer) {
  if (pool.g_buffer_pool_ptr == nullptr) return false;
  const auto addr = reinterpret_cast<uintptr_t>(pBuffer);
  const auto block = reinterpret_cast<uintptr_t>(pool.g_buffer_pool_ptr.get());
  return addr >= block && addr < block + PACKET_POOL_BLOCK_SIZE;
}

void PushFree(PoolState& pool, int index) {
  uint8_t* pBuffer = pool.pFirst + static_cast<size_t>(index) * PACKET_BUFFER_SIZE;
  const int head = pool.pFreeHead == nullptr ? -1 : PoolIndex(pool, pool.pFreeHead);
  wire::PutU32(pBuffer, head < 0 ? kEndOfList : static_cast<uint32_t>(head + 1));
  pool.pFreeHead = pBuffer;
  pool.bFree[index] = true;
}

uint8_t* PopFree(PoolState& pool) {
  uint8_t* pBuffer = pool.pFreeHead;
  const int index = PoolIndex(pool, pBuffer);
  const uint32_t next = wire::GetU32(pBuffer);
  pool.pFreeHead = next == kEndOfList ? nullptr : pool.pFirst + static_cast<size_t>(next - 1) * PACKET_BUFFER_SIZE;
  pool.bFree[index] = false;
  return pBuffer;
}

}  // namespace

int data_buffer_pool_init() {
  PoolState& pool = Pool();
  {
    std::lock_guard guard(pool.lock);
    if (pool.g_buffer_pool_ptr == nullptr) {
      pool.nInUse = 0;
      pool.g_buffer_pool_ptr.reset(new (std::nothrow) uint8_t[PACKET_POOL_BLOCK_SIZE]());
      if (pool.g_buffer_pool_ptr != nullptr) {
        const auto addr = reinterpret_cast<uintptr_t>(pool.g_buffer_pool_ptr.get());
        pool.pFirst = pool.g_buffer_pool_ptr.get() + (((addr + PACKET_POOL_ALIGN - 1) & ~(PACKET_POOL_ALIGN - 1)) - addr);
        pool.pFreeHead = nullptr;
        ++pool.nGeneration;
        // Pushed in rising order, so the highest buffer is taken first.
        for (size_t i = 0; i < PACKET_POOL_BUFFERS; ++i) PushFree(pool, static_cast<int>(i));
        return 0;
      }
    } else {
      // A second pool would strand the buffers handed out from the first.
      LogPrint(LOG_ERR, "data_buffer_pool_init: pool already exists\n");
      return -1;
    }
  }
  LogPrint(LOG_ERR, "malloc failure\n");
  return -1;
}

void data_buffer_pool_destroy() {
  PoolState& pool = Pool();
  std::lock_guard guard(pool.lock);
  pool.pFreeHead = nullptr;
  pool.nInUse = 0;
  pool.pFirst = nullptr;
  std::fill(std::begin(pool.bFree), std::end(pool.bFree), false);
  pool.g_buffer_pool_ptr.reset();
}

uint8_t* data_buffer_alloc(int force, uint8_t& btOverflow) {
  btOverflow = 0;
  PoolState& pool = Pool();
  bool bRefused = false;
  {
    std::lock_guard guard(pool.lock);
    if (pool.g_buffer_pool_ptr != nullptr && pool.pFreeHead != nullptr) {
      ++pool.nInUse;
      return PopFree(pool);
    }
    if (force == 0 && pool.nInUse >= PACKET_BUFFER_LIMIT) {
      bRefused = true;
    } else {
      // Counted before the allocation so that the limit holds across threads.
      ++pool.nInUse;
    }
  }
  if (bRefused) {
    LogPrint(LOG_WARNING, "Reach max buffer limit\n");
    return nullptr;
  }
  auto* pBuffer = static_cast<uint8_t*>(::operator new[](PACKET_BUFFER_SIZE, kHeapAlign, std::nothrow));
  if (pBuffer == nullptr) {
    {
      std::lock_guard guard(pool.lock);
      --pool.nInUse;
    }
    LogPrint(LOG_ERR, "malloc failure for extra data buf\n");
    return nullptr;
  }
  std::memset(pBuffer, 0, PACKET_BUFFER_SIZE);
  wire::PutU32(pBuffer + PACKET_GUARD_OFFSET, PACKET_GUARD_WORD);
  btOverflow = 1;
  return pBuffer;
}

void data_buffer_free(uint8_t* pBuffer, uint8_t btOverflow) {
  if (pBuffer == nullptr) return;
  try {
    PoolState& pool = Pool();
    const char* pszRefused = nullptr;
    int iLevel = LOG_ERR;
    {
      std::lock_guard guard(pool.lock);
      if (btOverflow != 0) {
        // Pool memory must never reach the heap allocator.
        if (InPoolBlock(pool, pBuffer)) {
          pszRefused = "data_buffer_free:  pool buffer returned as a heap buffer\n";
        } else {
          --pool.nInUse;
        }
      } else if (pool.g_buffer_pool_ptr == nullptr) {
        // The pool is gone: an orderly shutdown, not a fault.
        pszRefused = "data_buffer_free:  g_buffer_pool_ptr is NULL\n";
        iLevel = LOG_INFO;
      } else {
        const int index = PoolIndex(pool, pBuffer);
        if (index < 0) {
          pszRefused = "data_buffer_free:  buffer not from the pool\n";
        } else if (pool.bFree[index]) {
          pszRefused = "data_buffer_free:  buffer already free\n";
        } else {
          PushFree(pool, index);
          --pool.nInUse;
        }
      }
    }
    if (pszRefused != nullptr) {
      LogPrint(iLevel, pszRefused);
      return;
    }
    if (btOverflow != 0) ::operator delete[](pBuffer, kHeapAlign);
  } catch (...) {
    LogPrint(LOG_INFO, "data_buffer_free:  catch error.....\n");
  }
}

int32_t data_buffer_in_use() {
  PoolState& pool = Pool();
  std::lock_guard guard(pool.lock);
  return pool.nInUse;
}

BufDescPtr buf_desc_alloc(int force) {
  uint8_t btOverflow = 0;
  uint8_t* pBuffer = data_buffer_alloc(force, btOverflow);
  if (pBuffer == nullptr) return nullptr;
  buf_desc* pOwn = nullptr;
  if (btOverflow == 0) {
    PoolState& pool = Pool();
    std::lock_guard guard(pool.lock);
    const int index = PoolIndex(pool, pBuffer);
    if (index >= 0 && !pool.bDescriptorHeld[index]) {
      pool.bDescriptorHeld[index] = true;
      pool.descriptorGeneration[index] = pool.nGeneration;
      pOwn = &pool.descriptors[index];
    }
  }
  BufDescPtr pDesc(pOwn != nullptr ? pOwn : new (std::nothrow) buf_desc);
  if (pDesc == nullptr) {
    LogPrint(LOG_ERR, "malloc failure for buf desc\n");
    data_buffer_free(pBuffer, btOverflow);
    return nullptr;
  }
  pDesc->pBuffer = pBuffer;
  pDesc->dwCapacity = PACKET_MAX_LENGTH;
  pDesc->btOverflow = btOverflow;
  buf_desc_reset(pDesc.get());
  return pDesc;
}

void buf_desc_free(buf_desc* pDesc) {
  if (pDesc == nullptr) return;
  PoolState& pool = Pool();
  const auto addr = reinterpret_cast<uintptr_t>(pDesc);
  const auto first = reinterpret_cast<uintptr_t>(&pool.descriptors[0]);
  if (addr < first || addr >= first + sizeof pool.descriptors) {
    data_buffer_free(pDesc->pBuffer, pDesc->btOverflow);
    delete pDesc;
    return;
  }
  const size_t index = (addr - first) / sizeof(buf_desc);
  bool earlierPool = false;
  {
    std::lock_guard guard(pool.lock);
    earlierPool = pool.g_buffer_pool_ptr != nullptr && pool.descriptorGeneration[index] != pool.nGeneration;
  }
  if (earlierPool) {
    // Its pool is gone and another took its place, maybe at the same
    // address: an orderly shutdown, not a fault, and nothing to return.
    LogPrint(LOG_INFO, "data_buffer_free:  buffer of an earlier pool\n");
  } else {
    data_buffer_free(pDesc->pBuffer, pDesc->btOverflow);
  }
  std::lock_guard guard(pool.lock);
  pool.descriptors[index] = buf_desc{};
  pool.bDescriptorHeld[index] = false;
}

void buf_desc_reset(buf_desc* pDesc) {
  if (pDesc == nullptr) return;
  pDesc->pData = pDesc->pBuffer + PACKET_HEADROOM;
  pDesc->dwLength = 0;
  pDesc->pNext = nullptr;
  pDesc->pPrev = nullptr;
}

PacketBufferPool::PacketBufferPool() : m_bOwner(data_buffer_pool_init() == 0) {}

PacketBufferPool::~PacketBufferPool() {
  if (m_bOwner) data_buffer_pool_destroy();
}

}  // namespace brindleway
