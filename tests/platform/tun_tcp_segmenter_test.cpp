// Packets handed over with offloads, made plain: partial checksums
// completed, TCP super-packets cut into link-sized segments.
#include "platform/tun/tcp_segmenter.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "common/ones_sum.h"
#include "platform/byte_order.h"

namespace {

using platform::tun::CompleteChecksum;
using platform::tun::TcpSegmenter;
using vqtest::OnesSum;
using vqtest::TransportSum;

using platform::GetU16BE;
using platform::GetU32BE;
using platform::PutU16BE;
using platform::PutU32BE;

// A checksummed run is right when its words (checksum included) sum to 0xFFFF.
bool IpHeaderValid(const uint8_t* ip) { return OnesSum({ip, (ip[0] & 0x0Fu) * 4u}) == 0xFFFF; }
bool TcpValid(const uint8_t* ip, size_t length) { return TransportSum({ip, length}) == 0xFFFF; }

// A UDP/IPv4 packet as the kernel leaves it: the pseudo-header's sum in the
// checksum field, the rest for the device.
std::vector<uint8_t> PartialUdp(size_t payload) {
  std::vector<uint8_t> p(28 + payload);
  p[0] = 0x45;
  PutU16BE(&p[2], static_cast<uint16_t>(p.size()));
  p[8] = 64;
  p[9] = 17;
  PutU32BE(&p[12], 0x0A090002);
  PutU32BE(&p[16], 0x0A090001);
  PutU16BE(&p[20], 40000);
  PutU16BE(&p[22], 9999);
  PutU16BE(&p[24], static_cast<uint16_t>(8 + payload));
  for (size_t i = 0; i < payload; ++i) p[28 + i] = static_cast<uint8_t>(i ^ 0x5A);
  PutU16BE(&p[26], OnesSum({&p[12], 8}, 17 + static_cast<uint32_t>(8 + payload)));
  return p;
}

TEST(CompleteChecksum, FillsTheFieldSoThePacketVerifies) {
  for (size_t payload : {0u, 1u, 18u, 1371u}) {
    std::vector<uint8_t> p = PartialUdp(payload);
    ASSERT_TRUE(CompleteChecksum(p, 20, 6));
    EXPECT_EQ(TransportSum(p), 0xFFFF) << payload;
    EXPECT_NE(GetU16BE(&p[26]), 0) << "zero is sent as 0xFFFF";
  }
}

TEST(CompleteChecksum, AFieldOutsideThePacketChangesNothing) {
  struct Case {
    size_t start, offset;
  } cases[] = {{20, 7}, {27, 0}, {28, 0}, {29, 0}, {0, 27}, {SIZE_MAX, 6}, {20, SIZE_MAX}};
  for (const Case& c : cases) {
    std::vector<uint8_t> p = PartialUdp(0);
    const std::vector<uint8_t> before = p;
    EXPECT_FALSE(CompleteChecksum(p, c.start, c.offset)) << c.start << "+" << c.offset;
    EXPECT_EQ(p, before);
  }
}

constexpr uint8_t kFin = 0x01, kPsh = 0x08, kAck = 0x10, kCwr = 0x80;

struct Super {
  size_t ipOptions = 0;   // bytes of IP options (multiple of 4)
  size_t tcpOptions = 12; // bytes of TCP options (multiple of 4)
  size_t payload = 0;
  uint16_t ident = 0x1234;
  uint32_t sequence = 1000;
  uint8_t flags = kAck;
};

std::vector<uint8_t> MakeSuper(const Super& s) {
  const size_t ihl = 20 + s.ipOptions;
  const size_t thl = 20 + s.tcpOptions;
  std::vector<uint8_t> p(ihl + thl + s.payload);
  p[0] = static_cast<uint8_t>(0x40 | (ihl / 4));
  PutU16BE(&p[2], static_cast<uint16_t>(p.size()));
  PutU16BE(&p[4], s.ident);
  p[6] = 0x40;  // DF
  p[8] = 64;
  p[9] = 6;
  PutU32BE(&p[12], 0x0A090002);
  PutU32BE(&p[16], 0x0A090001);
  for (size_t i = 0; i < s.ipOptions; ++i) p[20 + i] = 1;  // NOP
  uint8_t* tcp = &p[ihl];
  PutU16BE(tcp, 40000);
  PutU16BE(tcp + 2, 5201);
  PutU32BE(tcp + 4, s.sequence);
  PutU32BE(tcp + 8, 77);
  tcp[12] = static_cast<uint8_t>((thl / 4) << 4);
  tcp[13] = s.flags;
  PutU16BE(tcp + 14, 502);
  for (size_t i = 0; i < s.tcpOptions; ++i) tcp[20 + i] = static_cast<uint8_t>(i == 0 ? 1 : 8);
  for (size_t i = 0; i < s.payload; ++i) p[ihl + thl + i] = static_cast<uint8_t>(i * 7 + 3);
  return p;
}

struct SegmentCase {
  const char* name;
  Super super;
  size_t segmentSize;
};

class TcpSegmenterCut : public ::testing::TestWithParam<SegmentCase> {};

TEST_P(TcpSegmenterCut, SegmentsAreWhatTheKernelWouldHaveSent) {
  const SegmentCase& c = GetParam();
  const std::vector<uint8_t> super = MakeSuper(c.super);
  const size_t ihl = 20 + c.super.ipOptions;
  const size_t headers = ihl + 20 + c.super.tcpOptions;
  TcpSegmenter cut;
  ASSERT_TRUE(cut.Start(super, c.segmentSize));
  const size_t expectedCount = c.super.payload == 0 ? 1 : (c.super.payload + c.segmentSize - 1) / c.segmentSize;

  std::vector<uint8_t> payload;
  size_t count = 0;
  while (cut.Pending()) {
    std::vector<uint8_t> out(cut.NextLength());
    ASSERT_EQ(cut.Next(out), out.size());
    const uint8_t* ip = out.data();
    const uint8_t* tcp = ip + ihl;
    const bool first = count == 0;
    const bool last = !cut.Pending();
    EXPECT_LE(out.size(), headers + c.segmentSize);
    EXPECT_EQ(GetU16BE(ip + 2), out.size());
    EXPECT_EQ(GetU16BE(ip + 4), static_cast<uint16_t>(c.super.ident + count));
    EXPECT_TRUE(IpHeaderValid(ip)) << "segment " << count;
    EXPECT_TRUE(TcpValid(ip, out.size())) << "segment " << count;
    EXPECT_EQ(GetU32BE(tcp + 4), static_cast<uint32_t>(c.super.sequence + payload.size()));
    uint8_t flags = c.super.flags;
    if (!last) flags &= static_cast<uint8_t>(~(kFin | kPsh));
    if (!first) flags &= static_cast<uint8_t>(~kCwr);
    EXPECT_EQ(tcp[13], flags) << "segment " << count;
    // Everything else in the headers is the super-packet's.
    for (size_t i = 0; i < headers; ++i) {
      const bool changed = i == 2 || i == 3 || i == 4 || i == 5 || i == 10 || i == 11 ||
                           (i >= ihl + 4 && i < ihl + 8) || i == ihl + 13 || i == ihl + 16 || i == ihl + 17;
      if (!changed) {
        EXPECT_EQ(out[i], super[i]) << "header byte " << i << " of segment " << count;
      }
    }
    payload.insert(payload.end(), out.begin() + static_cast<long>(headers), out.end());
    ++count;
  }
  EXPECT_EQ(count, expectedCount);
  EXPECT_TRUE(std::equal(payload.begin(), payload.end(), super.begin() + static_cast<long>(headers),
                         super.end()));
  EXPECT_EQ(payload.size(), c.super.payload);
  EXPECT_EQ(cut.NextLength(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TcpSegmenterCut,
    ::testing::Values(
        SegmentCase{"ManyFullAndAShortOne", {0, 12, 40000, 0x1234, 1000, kAck | kPsh | kFin | kCwr}, 1348},
        SegmentCase{"ExactMultiple", {0, 12, 3 * 1348, 0x1234, 1000, kAck | kPsh}, 1348},
        SegmentCase{"OneByteOver", {0, 12, 1349, 0x1234, 1000, kAck | kPsh}, 1348},
        SegmentCase{"SmallerThanOneSegment", {0, 12, 500, 0x1234, 1000, kAck | kPsh | kFin}, 1348},
        SegmentCase{"HeadersAlone", {0, 12, 0, 0x1234, 1000, kAck | kFin}, 1348},
        SegmentCase{"OddSizesAndIpOptions", {8, 0, 1001, 0x1234, 1000, kAck}, 99},
        SegmentCase{"IdentAndSequenceWrap", {0, 12, 10 * 1348, 0xFFFE, 0xFFFFF000u, kAck}, 1348},
        SegmentCase{"LargestIpv4Packet", {0, 12, 65535 - 52, 7, 1, kAck | kPsh}, 1448}),
    [](const ::testing::TestParamInfo<SegmentCase>& info) { return std::string(info.param.name); });

TEST(TcpSegmenter, RefusesWhatIsNotAWellFormedTcpIpv4Packet) {
  struct Case {
    const char* name;
    void (*spoil)(std::vector<uint8_t>&);
    size_t segmentSize;
  } cases[] = {
      {"segment size 0", [](std::vector<uint8_t>&) {}, 0},
      {"IPv6", [](std::vector<uint8_t>& p) { p[0] = 0x65; }, 100},
      {"IP header under 20", [](std::vector<uint8_t>& p) { p[0] = 0x44; }, 100},
      {"IP header past the end", [](std::vector<uint8_t>& p) { p.resize(30); PutU16BE(&p[2], 30); p[0] = 0x4F; }, 100},
      {"total length short", [](std::vector<uint8_t>& p) { PutU16BE(&p[2], static_cast<uint16_t>(p.size() - 1)); }, 100},
      {"total length long", [](std::vector<uint8_t>& p) { PutU16BE(&p[2], static_cast<uint16_t>(p.size() + 1)); }, 100},
      {"UDP", [](std::vector<uint8_t>& p) { p[9] = 17; }, 100},
      {"a fragment", [](std::vector<uint8_t>& p) { p[6] = 0x20; }, 100},
      {"a later fragment", [](std::vector<uint8_t>& p) { p[7] = 1; }, 100},
      {"TCP header under 20", [](std::vector<uint8_t>& p) { p[32] = 0x40; }, 100},
      {"TCP header past the end", [](std::vector<uint8_t>& p) { p.resize(40); PutU16BE(&p[2], 40); p[32] = 0xF0; }, 100},
      {"no TCP header", [](std::vector<uint8_t>& p) { p.resize(30); PutU16BE(&p[2], 30); }, 100},
      {"too short for IP", [](std::vector<uint8_t>& p) { p.resize(19); }, 100},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> p = MakeSuper({0, 12, 3000});
    c.spoil(p);
    TcpSegmenter cut;
    EXPECT_FALSE(cut.Start(p, c.segmentSize)) << c.name;
    EXPECT_FALSE(cut.Pending()) << c.name;
    EXPECT_EQ(cut.NextLength(), 0u) << c.name;
  }
}

TEST(TcpSegmenter, ASegmentThatDoesNotFitStaysPending) {
  const std::vector<uint8_t> super = MakeSuper({0, 12, 3000});
  TcpSegmenter cut;
  ASSERT_TRUE(cut.Start(super, 1000));
  std::vector<uint8_t> small(cut.NextLength() - 1);
  EXPECT_EQ(cut.Next(small), 0u);
  ASSERT_TRUE(cut.Pending());
  std::vector<uint8_t> out(cut.NextLength());
  EXPECT_EQ(cut.Next(out), out.size());
  EXPECT_EQ(GetU32BE(&out[24]), 1000u);  // still the first segment
  // A fresh start drops what was pending.
  ASSERT_TRUE(cut.Start(MakeSuper({0, 12, 10}), 1000));
  EXPECT_EQ(cut.NextLength(), 52u + 10u);
}

}  // namespace
