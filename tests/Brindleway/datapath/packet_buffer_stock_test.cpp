// A thread's stock of packet buffers: what is given comes back emptied
// without a pool allocation, the limit holds, and every buffer returns to
// the pool in the end.
#include "Brindleway/datapath/packet_buffer_stock.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "common/temp_root.h"
#include "support/log.h"

namespace brindleway {
namespace {

class PacketBufferStockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LogInit(nullptr);
    pool_ = std::make_unique<PacketBufferPool>();
    ASSERT_EQ(pool_->Result(), 0);
  }
  void TearDown() override {
    EXPECT_EQ(data_buffer_in_use(), 0);
    pool_.reset();
  }
  // A buffer that carried a decapsulated packet: data moved on, length set,
  // queue links left behind.
  static BufDescPtr Used(uint8_t fill) {
    BufDescPtr buffer = buf_desc_alloc(1);
    std::memset(buffer->pData, fill, 100);
    buffer->pData += 40;
    buffer->dwLength = 60;
    buffer->pNext = buffer.get();
    return buffer;
  }

  vqtest::TempRoot root_;
  std::unique_ptr<PacketBufferPool> pool_;
};

TEST_F(PacketBufferStockTest, GivenBufferComesBackEmptiedWithoutThePool) {
  PacketBufferStock stock(4);
  BufDescPtr used = Used(0xAB);
  const buf_desc* given = used.get();
  stock.Give(std::move(used));
  EXPECT_EQ(stock.Held(), 1u);
  const int32_t inUse = data_buffer_in_use();
  BufDescPtr again = stock.Take();
  ASSERT_EQ(again.get(), given);
  EXPECT_EQ(data_buffer_in_use(), inUse);
  EXPECT_EQ(again->pData, again->pBuffer + PACKET_HEADROOM);
  EXPECT_EQ(again->dwLength, 0u);
  EXPECT_EQ(again->dwCapacity, PACKET_MAX_LENGTH);
  EXPECT_EQ(again->pNext, nullptr);
  EXPECT_EQ(again->pPrev, nullptr);
  EXPECT_EQ(stock.Held(), 0u);
}

TEST_F(PacketBufferStockTest, EmptyStockTakesFromThePool) {
  PacketBufferStock stock(4);
  BufDescPtr fresh = stock.Take();
  ASSERT_NE(fresh, nullptr);
  EXPECT_EQ(data_buffer_in_use(), 1);
  EXPECT_EQ(fresh->dwLength, 0u);
  EXPECT_EQ(fresh->pData, fresh->pBuffer + PACKET_HEADROOM);
}

TEST_F(PacketBufferStockTest, PastTheLimitBuffersGoBackToThePoolAndClearReturnsTheRest) {
  PacketBufferStock stock(2);
  for (uint8_t i = 0; i < 5; ++i) stock.Give(Used(i));
  EXPECT_EQ(stock.Held(), 2u);
  EXPECT_EQ(data_buffer_in_use(), 2);
  stock.Give(nullptr);
  EXPECT_EQ(stock.Held(), 2u);
  stock.Clear();
  EXPECT_EQ(stock.Held(), 0u);
  EXPECT_EQ(data_buffer_in_use(), 0);
}

}  // namespace
}  // namespace brindleway
