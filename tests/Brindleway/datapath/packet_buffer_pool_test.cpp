// Packet buffers: pool order and alignment, the heap fallback and its
// limit, reuse, the descriptors (also one held past its pool's end), the
// refusal of buffers that aren't the pool's, and the lock under four
// threads.
#include "Brindleway/datapath/packet_buffer_pool.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "common/log_reader.h"
#include "common/temp_root.h"
#include "support/log.h"
#include "support/wire.h"

namespace brindleway {
namespace {

struct Taken {
  uint8_t* pBuffer;
  uint8_t btOverflow;
};

class PacketBufferPoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LogInit(nullptr);
    m_pool = std::make_unique<PacketBufferPool>();
    ASSERT_EQ(m_pool->Result(), 0);
  }
  void TearDown() override {
    for (const Taken& t : m_taken) data_buffer_free(t.pBuffer, t.btOverflow);
    EXPECT_EQ(data_buffer_in_use(), 0);
    m_pool.reset();
  }

  Taken Take(int force) {
    Taken t{nullptr, 9};
    t.pBuffer = data_buffer_alloc(force, t.btOverflow);
    if (t.pBuffer != nullptr) m_taken.push_back(t);
    return t;
  }
  void ReturnLast() {
    data_buffer_free(m_taken.back().pBuffer, m_taken.back().btOverflow);
    m_taken.pop_back();
  }
  static bool Logged(const std::string& text) { return vqtest::ReadLogText().find(text) != std::string::npos; }

  vqtest::TempRoot m_root;
  std::unique_ptr<PacketBufferPool> m_pool;
  std::vector<Taken> m_taken;
};

TEST_F(PacketBufferPoolTest, PoolBuffersInFallingAddressOrderThenHeap) {
  for (size_t i = 0; i < PACKET_POOL_BUFFERS; ++i) {
    const Taken t = Take(0);
    ASSERT_NE(t.pBuffer, nullptr);
    EXPECT_EQ(t.btOverflow, 0);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(t.pBuffer) % 32, 0u);
    if (i > 0) {
      ASSERT_EQ(t.pBuffer, m_taken[i - 1].pBuffer - PACKET_BUFFER_SIZE) << i;
    }
  }
  EXPECT_EQ(data_buffer_in_use(), 200);

  const Taken extra = Take(0);
  ASSERT_NE(extra.pBuffer, nullptr);
  EXPECT_EQ(extra.btOverflow, 1);
  EXPECT_EQ(wire::GetU32(extra.pBuffer + PACKET_GUARD_OFFSET), PACKET_GUARD_WORD);
  EXPECT_EQ(extra.pBuffer[0], 0);
  EXPECT_EQ(extra.pBuffer[1952], 0);
  EXPECT_EQ(data_buffer_in_use(), 201);
}

TEST_F(PacketBufferPoolTest, LimitOf3000WithAndWithoutForce) {
  for (int i = 0; i < PACKET_BUFFER_LIMIT; ++i) ASSERT_NE(Take(0).pBuffer, nullptr) << i;
  EXPECT_EQ(data_buffer_in_use(), 3000);

  EXPECT_EQ(Take(0).pBuffer, nullptr);
  EXPECT_EQ(data_buffer_in_use(), 3000);
  EXPECT_TRUE(Logged("Reach max buffer limit"));
  EXPECT_EQ(buf_desc_alloc(0), nullptr);
  EXPECT_EQ(data_buffer_in_use(), 3000);

  const Taken forced = Take(1);
  ASSERT_NE(forced.pBuffer, nullptr);
  EXPECT_EQ(forced.btOverflow, 1);
  EXPECT_EQ(data_buffer_in_use(), 3001);

  // Below the limit again, unforced allocations work.
  ReturnLast();
  ReturnLast();
  EXPECT_NE(Take(0).pBuffer, nullptr);
}

TEST_F(PacketBufferPoolTest, ReturnedPoolBufferIsTakenNext) {
  const Taken a = Take(0);
  const Taken b = Take(0);
  ASSERT_NE(a.pBuffer, b.pBuffer);
  data_buffer_free(a.pBuffer, a.btOverflow);
  m_taken.erase(m_taken.begin());
  EXPECT_EQ(data_buffer_in_use(), 1);
  EXPECT_EQ(Take(0).pBuffer, a.pBuffer);
}

TEST_F(PacketBufferPoolTest, OverflowFlagAloneDecidesHeapOrPool) {
  for (size_t i = 0; i < PACKET_POOL_BUFFERS; ++i) Take(0);
  // A packet that happens to carry the guard word at 2044 stays a pool
  // buffer.
  Taken pooled = m_taken.front();
  m_taken.erase(m_taken.begin());
  wire::PutU32(pooled.pBuffer + PACKET_GUARD_OFFSET, PACKET_GUARD_WORD);
  data_buffer_free(pooled.pBuffer, 0);
  EXPECT_EQ(Take(0).pBuffer, pooled.pBuffer);

  // A heap buffer whose guard word was overwritten still goes to the heap
  // (the leak checker would see it otherwise).
  const Taken heap = Take(0);
  ASSERT_EQ(heap.btOverflow, 1);
  m_taken.pop_back();
  std::memset(heap.pBuffer, 0x77, PACKET_BUFFER_SIZE);
  data_buffer_free(heap.pBuffer, 1);
  EXPECT_EQ(data_buffer_in_use(), 200);
}

TEST_F(PacketBufferPoolTest, ForeignAndRepeatedReturnsAreLoggedAndIgnored) {
  const Taken a = Take(0);
  const Taken b = Take(0);
  ASSERT_EQ(data_buffer_in_use(), 2);

  alignas(32) uint8_t stackBuffer[PACKET_BUFFER_SIZE] = {};
  data_buffer_free(stackBuffer, 0);
  EXPECT_TRUE(Logged("data_buffer_free:  buffer not from the pool"));
  data_buffer_free(a.pBuffer + 96, 0);  // inside the block, not a buffer start
  data_buffer_free(b.pBuffer, 1);       // pool memory must not reach the heap
  EXPECT_TRUE(Logged("data_buffer_free:  pool buffer returned as a heap buffer"));
  EXPECT_EQ(data_buffer_in_use(), 2);

  ReturnLast();
  data_buffer_free(b.pBuffer, 0);
  EXPECT_TRUE(Logged("data_buffer_free:  buffer already free"));
  EXPECT_EQ(data_buffer_in_use(), 1);
  // The free list is intact: b once, then the untouched buffers.
  const Taken c = Take(0);
  const Taken d = Take(0);
  EXPECT_EQ(c.pBuffer, b.pBuffer);
  EXPECT_NE(d.pBuffer, b.pBuffer);
  EXPECT_NE(d.pBuffer, a.pBuffer);
}

TEST_F(PacketBufferPoolTest, ReturnAfterTheOwnerIsGoneIsIgnored) {
  uint8_t btOverflow = 9;
  uint8_t* pBuffer = data_buffer_alloc(0, btOverflow);
  ASSERT_NE(pBuffer, nullptr);
  m_pool.reset();
  data_buffer_free(pBuffer, btOverflow);
  EXPECT_TRUE(Logged("data_buffer_free:  g_buffer_pool_ptr is NULL"));
  EXPECT_EQ(data_buffer_in_use(), 0);

  // A buffer of the old pool means nothing to a new one.
  m_pool = std::make_unique<PacketBufferPool>();
  ASSERT_EQ(m_pool->Result(), 0);
  data_buffer_free(pBuffer, 0);
  EXPECT_EQ(data_buffer_in_use(), 0);
}

TEST_F(PacketBufferPoolTest, OneOwnerAtATime) {
  {
    PacketBufferPool second;
    EXPECT_EQ(second.Result(), -1);
  }
  // The first owner's pool survived the second one.
  const Taken t = Take(0);
  EXPECT_EQ(t.btOverflow, 0);
}

TEST_F(PacketBufferPoolTest, DescriptorsFreshResetAndFreed) {
  BufDescPtr pDesc = buf_desc_alloc(0);
  ASSERT_NE(pDesc, nullptr);
  EXPECT_EQ(pDesc->pData, pDesc->pBuffer + 96);
  EXPECT_EQ(pDesc->dwLength, 0u);
  EXPECT_EQ(pDesc->dwCapacity, 1856u);
  EXPECT_EQ(pDesc->btOverflow, 0);
  EXPECT_EQ(data_buffer_in_use(), 1);

  uint8_t* const pBuffer = pDesc->pBuffer;
  buf_desc other;
  pDesc->pData += 20;
  pDesc->dwLength = 1400;
  pDesc->pNext = &other;
  pDesc->pPrev = &other;
  buf_desc_reset(pDesc.get());
  EXPECT_EQ(pDesc->pBuffer, pBuffer);
  EXPECT_EQ(pDesc->pData, pBuffer + 96);
  EXPECT_EQ(pDesc->dwLength, 0u);
  EXPECT_EQ(pDesc->pNext, nullptr);
  EXPECT_EQ(pDesc->pPrev, nullptr);

  pDesc.reset();
  EXPECT_EQ(data_buffer_in_use(), 0);
  EXPECT_EQ(Take(0).pBuffer, pBuffer);

  // With the pool used up, a descriptor gets a heap buffer.
  for (size_t i = 1; i < PACKET_POOL_BUFFERS; ++i) Take(0);
  BufDescPtr pHeap = buf_desc_alloc(1);
  ASSERT_NE(pHeap, nullptr);
  EXPECT_EQ(pHeap->btOverflow, 1);
  pHeap.reset();
  EXPECT_EQ(data_buffer_in_use(), 200);
}

TEST_F(PacketBufferPoolTest, DescriptorHeldPastThePoolsEndStaysItsHolders) {
  BufDescPtr old = buf_desc_alloc(0);
  ASSERT_NE(old, nullptr);
  uint8_t* const oldBuffer = old->pBuffer;
  m_pool.reset();
  m_pool = std::make_unique<PacketBufferPool>();
  ASSERT_EQ(m_pool->Result(), 0);
  // Every buffer of the new pool, the one at the old one's place included,
  // comes with a descriptor of its own.
  std::vector<BufDescPtr> fresh;
  for (size_t i = 0; i < PACKET_POOL_BUFFERS; ++i) {
    fresh.push_back(buf_desc_alloc(0));
    ASSERT_NE(fresh.back(), nullptr);
    EXPECT_NE(fresh.back().get(), old.get());
    EXPECT_EQ(fresh.back()->btOverflow, 0);
  }
  EXPECT_EQ(old->pBuffer, oldBuffer);
  // The old one going changes nothing of the new pool's.
  old.reset();
  EXPECT_EQ(data_buffer_in_use(), static_cast<int32_t>(PACKET_POOL_BUFFERS));
  for (const BufDescPtr& d : fresh) EXPECT_EQ(d->dwCapacity, PACKET_MAX_LENGTH);
  fresh.clear();
  EXPECT_EQ(data_buffer_in_use(), 0);
}

TEST_F(PacketBufferPoolTest, FourThreadsShareThePool) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 3000;
  std::vector<std::thread> threads;
  std::vector<int> failures(kThreads, 0);
  for (int id = 0; id < kThreads; ++id) {
    threads.emplace_back([id, &failures] {
      std::vector<BufDescPtr> held;
      unsigned seed = 12345u + static_cast<unsigned>(id);
      for (int round = 0; round < kRounds; ++round) {
        seed = seed * 1103515245u + 12345u;
        // Each thread holds up to 80: together they run past the 200 pool
        // buffers into the heap and back.
        if (held.size() < 80 && (seed >> 16) % 3 != 0) {
          BufDescPtr pDesc = buf_desc_alloc(1);
          if (pDesc == nullptr) {
            ++failures[id];
            continue;
          }
          std::memset(pDesc->pData, id + 1, PACKET_MAX_LENGTH);
          held.push_back(std::move(pDesc));
        } else if (!held.empty()) {
          const size_t pick = (seed >> 8) % held.size();
          // No other thread wrote into a buffer this one holds.
          const uint8_t* pData = held[pick]->pData;
          for (size_t i = 0; i < PACKET_MAX_LENGTH; i += 97) {
            if (pData[i] != id + 1) ++failures[id];
          }
          held.erase(held.begin() + static_cast<std::ptrdiff_t>(pick));
        }
      }
    });
  }
  for (std::thread& t : threads) t.join();
  for (int id = 0; id < kThreads; ++id) EXPECT_EQ(failures[id], 0) << "thread " << id;
  EXPECT_EQ(data_buffer_in_use(), 0);
}

}  // namespace
}  // namespace brindleway
