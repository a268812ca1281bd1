// Fragmentation on the way to the adapter: every case is reassembled here
// independently, each fragment's header checksum verified, and the queue
// order checked; packets whose lengths disagree are refused untouched.
#include "Brindleway/datapath/ip_frag.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "common/temp_root.h"
#include "ipv4_test_packets.h"
#include "support/log.h"

namespace brindleway {
namespace {

using iptest::Be16;

class IpFragTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LogInit(nullptr);
    ASSERT_EQ(pool_.Result(), 0);
  }

  static BufDescPtr Packet(const std::vector<uint8_t>& bytes) {
    BufDescPtr desc = buf_desc_alloc(1);
    std::memcpy(desc->pData, bytes.data(), bytes.size());
    desc->dwLength = static_cast<uint32_t>(bytes.size());
    return desc;
  }
  static std::vector<uint8_t> Bytes(const buf_desc* desc) {
    return std::vector<uint8_t>(desc->pData, desc->pData + desc->dwLength);
  }
  // What the adapter receives: the first fragment, then the queue in order.
  static std::vector<std::vector<uint8_t>> Written(const buf_desc* first, PacketQueue& queue) {
    std::vector<std::vector<uint8_t>> out{Bytes(first)};
    while (BufDescPtr next = queue.PopFront()) out.push_back(Bytes(next.get()));
    return out;
  }

  vqtest::TempRoot root_;
  PacketBufferPool pool_;
};

TEST_F(IpFragTest, FragmentSizesAndReassembly) {
  const struct {
    const char* name;
    size_t header;
    size_t total;
    uint32_t mtu;
    uint16_t flags;
    std::vector<size_t> sizes;  // in the order the adapter gets them
  } cases[] = {
      {"1500 at mtu 1400", 20, 1500, 1400, 0, {1376, 104}},
      {"runt avoided: 1420 at mtu 1400", 20, 1420, 1400, 0, {696, 704}},
      {"DF set is fragmented anyway", 20, 1500, 1400, 0x4000, {1376, 104}},
      {"four pieces at mtu 576", 20, 1856, 576, 0, {552, 180, 552, 552}},
      {"runt avoided in the middle", 20, 1202, 600, 0, {576, 310, 296}},
      {"header with options", 24, 1500, 1400, 0, {1376, 100}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<uint8_t> original =
        iptest::Ipv4({.payload = c.total - c.header, .flags = c.flags, .headerLength = c.header});
    BufDescPtr packet = Packet(original);
    PacketQueue queue;
    ASSERT_EQ(ip_frag(queue, packet.get(), c.mtu), 0);
    const auto written = Written(packet.get(), queue);
    for (const auto& f : written) EXPECT_LE(f.size(), c.mtu);
    const iptest::Reassembly r = iptest::Reassemble(written);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.sizes, c.sizes);
    EXPECT_FALSE(r.lastHadMf);
    EXPECT_EQ(r.payload, std::vector<uint8_t>(original.begin() + static_cast<long>(c.header), original.end()));
    // Identification, protocol, addresses and options travel unchanged.
    EXPECT_TRUE(std::equal(r.header.begin() + 4, r.header.begin() + 6, original.begin() + 4));
    EXPECT_TRUE(std::equal(r.header.begin() + 8, r.header.begin() + 10, original.begin() + 8));
    EXPECT_TRUE(std::equal(r.header.begin() + 12, r.header.end(), original.begin() + 12));
  }
}

TEST_F(IpFragTest, PacketThatWasAFragmentKeepsMfAndItsOffset) {
  const uint16_t offsetUnits = 100;
  const std::vector<uint8_t> original = iptest::Ipv4({.payload = 1480, .flags = 0x2000 | offsetUnits});
  BufDescPtr packet = Packet(original);
  PacketQueue queue;
  ASSERT_EQ(ip_frag(queue, packet.get(), 1400), 0);
  const auto written = Written(packet.get(), queue);
  ASSERT_EQ(written.size(), 2u);
  EXPECT_EQ(Be16(written[0], 6), 0x2000 | offsetUnits);
  EXPECT_EQ(Be16(written[1], 6), 0x2000 | (offsetUnits + 1376 / 8));
  for (const auto& f : written) EXPECT_TRUE(iptest::HeaderChecksumOk(f));
}

TEST_F(IpFragTest, LaterPiecesGoAheadOfEarlierQueuedPacketsLastPieceFirst) {
  PacketQueue queue;
  queue.PushBack(Packet(iptest::Ipv4({.id = 7})));
  BufDescPtr packet = Packet(iptest::Ipv4({.payload = 1836}));
  ASSERT_EQ(ip_frag(queue, packet.get(), 576), 0);
  const auto written = Written(packet.get(), queue);
  ASSERT_EQ(written.size(), 5u);
  // Offsets (8-byte units) in the order the adapter gets them.
  std::vector<int> offsets;
  for (size_t i = 0; i < 4; ++i) offsets.push_back(Be16(written[i], 6) & 0x1FFF);
  EXPECT_EQ(offsets, (std::vector<int>{0, 3 * 69, 2 * 69, 69}));
  EXPECT_EQ(Be16(written[4], 4), 7);  // the packet queued before
}

TEST_F(IpFragTest, InconsistentPacketsAreRefusedUntouched) {
  auto withTotal = [](uint16_t total) {
    std::vector<uint8_t> p = iptest::Ipv4({.payload = 1480});
    iptest::PutBe16(p, 2, total);
    return p;
  };
  auto withIhl = [](uint8_t ihl, size_t payload = 1480) {
    std::vector<uint8_t> p = iptest::Ipv4({.payload = payload});
    p[0] = static_cast<uint8_t>(0x40 | ihl);
    return p;
  };
  std::vector<uint8_t> v6 = iptest::Ipv4({.payload = 1480});
  v6[0] = 0x60;
  const struct {
    const char* name;
    std::vector<uint8_t> bytes;
    uint32_t mtu;
  } cases[] = {
      {"total above the bytes held", withTotal(1600), 1400},
      {"total below the bytes held", withTotal(1450), 1400},
      {"total below the header", withTotal(16), 1400},
      {"header length 16", withIhl(4), 1400},
      {"header length 0", withIhl(0), 1400},
      {"header longer than the total", withIhl(15, 30), 40},
      {"not IPv4", v6, 1400},
      {"mtu below header + 8", iptest::Ipv4({.payload = 1480}), 27},
      {"fits the mtu", iptest::Ipv4({.payload = 1000}), 1400},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    BufDescPtr packet = Packet(c.bytes);
    PacketQueue queue;
    queue.PushBack(Packet(iptest::Ipv4({})));
    const int32_t inUse = data_buffer_in_use();
    EXPECT_EQ(ip_frag(queue, packet.get(), c.mtu), -1);
    EXPECT_EQ(Bytes(packet.get()), c.bytes);
    EXPECT_EQ(queue.Size(), 1u);
    EXPECT_EQ(data_buffer_in_use(), inUse);
  }
}

TEST_F(IpFragTest, ChecksumAdjustMatchesARecomputation) {
  std::mt19937 random(7);
  for (int round = 0; round < 200; ++round) {
    std::vector<uint8_t> header = iptest::Ipv4({.id = static_cast<uint16_t>(random())});
    header.resize(20);
    const uint16_t before = Be16(header, 10);
    const size_t word = 2 + 2 * (random() % 4);  // bytes 2..9 (byte 0 holds the header length)
    const uint16_t oldWord = Be16(header, word);
    const auto newWord = static_cast<uint16_t>(random());
    iptest::PutBe16(header, word, newWord);
    iptest::PutBe16(header, 10, checksum_adjust(before, oldWord, newWord));
    ASSERT_TRUE(iptest::HeaderChecksumOk(header)) << round;
  }
}

}  // namespace
}  // namespace brindleway
