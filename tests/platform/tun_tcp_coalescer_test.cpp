// Packets on their way into the TUN device, the consecutive segments of a
// TCP stream merged into super-packets: which runs merge and which end a
// run or go alone, the order kept, and super-packets that the segmenter
// cuts back into the very segments they were made of.
#include "platform/tun/tcp_coalescer.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "common/ones_sum.h"
#include "platform/byte_order.h"
#include "platform/tun/tcp_segmenter.h"

namespace {

using platform::tun::CompleteChecksum;
using platform::tun::TcpCoalescer;
using platform::tun::TcpSegmenter;
using vqtest::OnesSum;
using vqtest::TransportSum;

using platform::GetU16BE;
using platform::PutU16BE;
using platform::PutU32BE;

constexpr uint8_t kFin = 0x01, kSyn = 0x02, kRst = 0x04, kPsh = 0x08, kAck = 0x10, kUrg = 0x20, kEce = 0x40,
                  kCwr = 0x80;

// One packet's fields; the checksums are made right unless spoiled.
struct Seg {
  uint8_t tos = 0;
  uint8_t ttl = 64;
  uint16_t fragment = 0x4000;  // DF
  uint16_t ident = 0x1234;
  uint8_t protocol = 6;
  uint32_t src = 0x0A090001;
  uint32_t dst = 0x0A090002;
  uint16_t srcPort = 5201;
  uint16_t dstPort = 40000;
  uint32_t seq = 1000;
  uint32_t ack = 77;
  uint8_t flags = kAck;
  uint16_t window = 502;
  uint16_t urgent = 0;
  size_t ipOptions = 0;  // bytes, a multiple of 4
  std::vector<uint8_t> tcpOptions = {1, 1, 8, 10, 0, 0, 0x30, 0x39, 0, 0, 0x10, 0x92};  // NOP NOP timestamps
  size_t payload = 1000;
  size_t padding = 0;  // bytes past the IP total length
  bool badIpChecksum = false;
  bool badTcpChecksum = false;
};

std::vector<uint8_t> Make(const Seg& s) {
  const size_t ihl = 20 + s.ipOptions;
  const size_t thl = 20 + s.tcpOptions.size();
  const size_t total = ihl + thl + s.payload;
  std::vector<uint8_t> p(total + s.padding);
  p[0] = static_cast<uint8_t>(0x40 | (ihl / 4));
  p[1] = s.tos;
  PutU16BE(&p[2], static_cast<uint16_t>(total));
  PutU16BE(&p[4], s.ident);
  PutU16BE(&p[6], s.fragment);
  p[8] = s.ttl;
  p[9] = s.protocol;
  PutU32BE(&p[12], s.src);
  PutU32BE(&p[16], s.dst);
  for (size_t i = 0; i < s.ipOptions; ++i) p[20 + i] = 1;  // NOP
  uint8_t* tcp = &p[ihl];
  PutU16BE(tcp, s.srcPort);
  PutU16BE(tcp + 2, s.dstPort);
  PutU32BE(tcp + 4, s.seq);
  PutU32BE(tcp + 8, s.ack);
  tcp[12] = static_cast<uint8_t>((thl / 4) << 4);
  tcp[13] = s.flags;
  PutU16BE(tcp + 14, s.window);
  PutU16BE(tcp + 18, s.urgent);
  std::copy(s.tcpOptions.begin(), s.tcpOptions.end(), tcp + 20);
  // The stream's bytes by sequence number, so that payloads show where
  // they belong.
  for (size_t i = 0; i < s.payload; ++i) p[ihl + thl + i] = static_cast<uint8_t>((s.seq + i) * 131 >> 3);
  PutU16BE(&p[10], static_cast<uint16_t>(~OnesSum(std::span(p).first(ihl)) ^ (s.badIpChecksum ? 1 : 0)));
  const std::span<const uint8_t> packet = std::span(p).first(total);
  PutU16BE(tcp + 16, static_cast<uint16_t>(~TransportSum(packet) ^ (s.badTcpChecksum ? 0x100 : 0)));
  return p;
}

// A stream's segments of these payload sizes, one after the other: the
// sequence numbers and identifications follow on.
std::vector<Seg> Stream(std::vector<size_t> payloads, Seg base = {}) {
  std::vector<Seg> out;
  for (const size_t payload : payloads) {
    base.payload = payload;
    out.push_back(base);
    base.seq += static_cast<uint32_t>(payload);
    ++base.ident;
  }
  return out;
}

std::vector<Seg> Full(size_t count, size_t payload = 1000) { return Stream(std::vector<size_t>(count, payload)); }

// From segment `from` on, each has the change.
template <typename Change>
std::vector<Seg> From(std::vector<Seg> segs, size_t from, Change change) {
  for (size_t i = from; i < segs.size(); ++i) change(segs[i]);
  return segs;
}
template <typename Change>
std::vector<Seg> At(std::vector<Seg> segs, size_t at, Change change) {
  change(segs[at]);
  return segs;
}

// Two segments each of two streams, one of each in turn.
std::vector<Seg> TwoStreamsInterleaved() {
  const std::vector<Seg> a = Full(2);
  const std::vector<Seg> b = From(Full(2), 0, [](Seg& s) { s.dstPort = 40001; });
  return {a[0], b[0], a[1], b[1]};
}

struct Case {
  std::string name;
  std::vector<Seg> segs;
  std::vector<size_t> takes;  // the packets of each write, in order
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

std::vector<Case> Cases() {
  const auto flag = [](uint8_t f) { return [f](Seg& s) { s.flags |= f; }; };
  std::vector<Case> cases = {
      {"OneStreamIsOneWrite", Full(6), {6}},
      {"TwoSegmentsMerge", Full(2), {2}},
      {"OnePacketGoesAsItIs", Full(1), {1}},
      {"AShorterSegmentEndsTheRun", Stream({1000, 1000, 500, 1000, 1000}), {3, 2}},
      {"ALongerSegmentStartsANewRun", Stream({1000, 1200, 1200, 1200}), {1, 3}},
      {"PshEndsTheRunItJoins", At(Full(5), 2, flag(kPsh)), {3, 2}},
      {"PshOnTheFirstGoesAlone", At(Full(5), 0, flag(kPsh)), {1, 4}},
      {"CwrOnTheFirstMerges", At(Full(4), 0, flag(kCwr)), {4}},
      {"CwrLaterStartsANewRun", At(Full(5), 2, flag(kCwr)), {2, 3}},
      {"SynGoesAlone", At(Full(5), 2, flag(kSyn)), {2, 1, 2}},
      {"FinGoesAlone", At(Full(5), 2, flag(kFin)), {2, 1, 2}},
      {"RstGoesAlone", At(Full(5), 2, flag(kRst)), {2, 1, 2}},
      {"UrgGoesAlone", At(Full(5), 2, flag(kUrg)), {2, 1, 2}},
      {"EceGoesAlone", At(Full(5), 2, flag(kEce)), {2, 1, 2}},
      {"WithoutAckGoesAlone", At(Full(5), 2, [](Seg& s) { s.flags = kPsh; }), {2, 1, 2}},
      {"NoPayloadGoesAlone", Stream({1000, 1000, 0, 1000, 1000}), {2, 1, 2}},
      {"AnotherAckNumber", From(Full(5), 2, [](Seg& s) { s.ack += 1448; }), {2, 3}},
      {"AnotherWindow", From(Full(5), 2, [](Seg& s) { s.window = 501; }), {2, 3}},
      {"AnotherUrgentPointer", From(Full(5), 2, [](Seg& s) { s.urgent = 1; }), {2, 3}},
      {"AnotherTos", From(Full(5), 2, [](Seg& s) { s.tos = 0x03; }), {2, 3}},
      {"AnotherTtl", From(Full(5), 2, [](Seg& s) { s.ttl = 63; }), {2, 3}},
      {"WithoutDf", From(Full(5), 2, [](Seg& s) { s.fragment = 0; }), {2, 3}},
      {"AnotherSource", From(Full(5), 2, [](Seg& s) { s.src += 1; }), {2, 3}},
      {"AnotherDestination", From(Full(5), 2, [](Seg& s) { s.dst += 1; }), {2, 3}},
      {"AnotherSourcePort", From(Full(5), 2, [](Seg& s) { s.srcPort += 1; }), {2, 3}},
      {"AnotherDestinationPort", From(Full(5), 2, [](Seg& s) { s.dstPort += 1; }), {2, 3}},
      {"AnotherTimestamp", From(Full(5), 2, [](Seg& s) { s.tcpOptions[7] += 1; }), {2, 3}},
      {"AnotherTcpHeaderLength", From(Full(5), 2, [](Seg& s) { s.tcpOptions.clear(); }), {2, 3}},
      {"ASequenceGap", From(Full(5), 2, [](Seg& s) { s.seq += 1; }), {2, 3}},
      {"ASequenceRepeat", From(Full(5), 2, [](Seg& s) { s.seq -= 1000; }), {2, 3}},
      {"AnIdentificationJump", From(Full(5), 2, [](Seg& s) { s.ident += 5; }), {2, 3}},
      {"OneIdentificationForAll", From(Full(4), 0, [](Seg& s) { s.ident = 9; }), {1, 1, 1, 1}},
      {"IpOptionsNeverMerge", From(Full(3), 0, [](Seg& s) { s.ipOptions = 4; }), {1, 1, 1}},
      {"AFragmentGoesAlone", At(Full(5), 2, [](Seg& s) { s.fragment = 0x2000; }), {2, 1, 2}},
      {"ALaterFragmentGoesAlone", At(Full(5), 2, [](Seg& s) { s.fragment = 0x0001; }), {2, 1, 2}},
      {"NotTcpGoesAlone", At(Full(5), 2, [](Seg& s) { s.protocol = 17; }), {2, 1, 2}},
      {"BytesPastTheTotalLengthGoAlone", At(Full(5), 2, [](Seg& s) { s.padding = 2; }), {2, 1, 2}},
      {"ABadTcpChecksumGoesAlone", At(Full(5), 2, [](Seg& s) { s.badTcpChecksum = true; }), {2, 1, 2}},
      {"ABadIpChecksumGoesAlone", At(Full(5), 2, [](Seg& s) { s.badIpChecksum = true; }), {2, 1, 2}},
      {"AFirstWithABadChecksumGoesAlone", At(Full(5), 0, [](Seg& s) { s.badTcpChecksum = true; }), {1, 4}},
      {"TwoStreamsInterleavedDoNotMerge", TwoStreamsInterleaved(), {1, 1, 1, 1}},
      {"NoMoreThan65535Bytes", Full(50, 1400), {46, 4}},
      {"NoMoreThanTheSegmentLimit", Full(100, 100), {64, 36}},
      {"SequenceAndIdentificationWrap", From(Full(6), 0,
                                             [](Seg& s) {
                                               s.seq += 0xFFFFF000u;
                                               s.ident = static_cast<uint16_t>(s.ident + 0xFFFF - 0x1234 - 2);
                                             }),
       {6}},
      {"NoTcpOptions", From(Full(4), 0, [](Seg& s) { s.tcpOptions.clear(); }), {4}},
      {"TcpOptionsOfTheLongestHeader",
       From(Full(4), 0, [](Seg& s) { s.tcpOptions.insert(s.tcpOptions.end(), 28, 1); }), {4}},
  };
  return cases;
}

class TcpCoalescerRuns : public ::testing::TestWithParam<Case> {};

TEST_P(TcpCoalescerRuns, MergeWhatIsSafeAndCutBackIntoTheSameSegments) {
  const Case& c = GetParam();
  std::vector<std::vector<uint8_t>> bytes;
  for (const Seg& s : c.segs) bytes.push_back(Make(s));
  std::vector<std::span<const uint8_t>> packets(bytes.begin(), bytes.end());

  TcpCoalescer merge;
  std::vector<size_t> takes;
  size_t at = 0;
  while (at < packets.size()) {
    const size_t taken = merge.Take(std::span(packets).subspan(at));
    ASSERT_GE(taken, 1u);
    ASSERT_LE(at + taken, packets.size());
    takes.push_back(taken);
    if (taken > 1) {
      SCOPED_TRACE("the write of packets " + std::to_string(at) + " on");
      // The super-packet as the kernel gets it: headers, then each payload.
      std::vector<uint8_t> super(merge.Headers().begin(), merge.Headers().end());
      for (size_t i = at; i < at + taken; ++i) {
        ASSERT_EQ(GetU16BE(packets[i].data() + 2), packets[i].size());
        super.insert(super.end(), packets[i].begin() + static_cast<ptrdiff_t>(merge.HeaderLength()), packets[i].end());
      }
      ASSERT_EQ(merge.Length(), super.size());
      EXPECT_LE(super.size(), 65535u);
      EXPECT_EQ(merge.HeaderLength(), 20 + 20 + c.segs[at].tcpOptions.size());
      EXPECT_EQ(merge.SegmentSize(), c.segs[at].payload);
      EXPECT_EQ(merge.Ecn(), (c.segs[at].flags & kCwr) != 0);
      EXPECT_EQ(GetU16BE(&super[2]), super.size());
      EXPECT_EQ(OnesSum(std::span(super).first(20)), 0xFFFF) << "IP header checksum";
      // The field holds the pseudo-header's sum over the merged length,
      // which the kernel completes: then the whole verifies.
      const size_t tcpLength = super.size() - 20;
      const uint8_t pseudo[4] = {0, 6, static_cast<uint8_t>(tcpLength >> 8), static_cast<uint8_t>(tcpLength)};
      EXPECT_EQ(GetU16BE(&super[20 + TcpCoalescer::kChecksumOffset]),
                OnesSum(pseudo, OnesSum(std::span(super).subspan(12, 8))));
      std::vector<uint8_t> completed = super;
      ASSERT_TRUE(CompleteChecksum(completed, TcpCoalescer::kChecksumStart, TcpCoalescer::kChecksumOffset));
      EXPECT_EQ(TransportSum(completed), 0xFFFF);

      TcpSegmenter cut;
      ASSERT_TRUE(cut.Start(super, merge.SegmentSize()));
      for (size_t i = at; i < at + taken; ++i) {
        ASSERT_TRUE(cut.Pending()) << "segment " << i;
        std::vector<uint8_t> out(cut.NextLength());
        ASSERT_EQ(cut.Next(out), out.size());
        EXPECT_EQ(out, bytes[i]) << "segment " << i;
      }
      EXPECT_FALSE(cut.Pending());
    }
    at += taken;
  }
  EXPECT_EQ(takes, c.takes);
}

INSTANTIATE_TEST_SUITE_P(Cases, TcpCoalescerRuns, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<Case>& info) { return info.param.name; });

TEST(TcpCoalescer, NothingToTakeIsNoWrite) {
  TcpCoalescer merge;
  EXPECT_EQ(merge.Take({}), 0u);
}

TEST(TcpCoalescer, PacketsTooShortForTheirHeadersGoAsTheyAre) {
  std::vector<uint8_t> a = Make(Full(1)[0]);
  const std::vector<uint8_t> b = Make(Stream({1000, 1000})[1]);
  for (const size_t size : {size_t{0}, size_t{1}, size_t{19}, size_t{20}, size_t{39}, size_t{52}}) {
    std::vector<uint8_t> cut(a.begin(), a.begin() + static_cast<ptrdiff_t>(size));
    if (size >= 4) PutU16BE(&cut[2], static_cast<uint16_t>(size));
    const std::span<const uint8_t> packets[2] = {cut, b};
    TcpCoalescer merge;
    EXPECT_EQ(merge.Take(packets), 1u) << size;
  }
  // A data offset past the packet's end.
  a[32] = 0xF0;
  a.resize(60);
  PutU16BE(&a[2], 60);
  const std::span<const uint8_t> packets[2] = {a, b};
  TcpCoalescer merge;
  EXPECT_EQ(merge.Take(packets), 1u);
}

}  // namespace
