// IP compression: thresholds, the IPComp header, round trips against zlib's
// own one-shot calls, and inbound packets that must not be trusted.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "Brindleway/common/constants.h"
#include "Brindleway/common/debug_trace.h"
#include "Brindleway/datapath/ip_comp.h"
#include "Brindleway/datapath/ip_compressor.h"
#include "Brindleway/datapath/packet_buffer_pool.h"
#include "common/log_reader.h"
#include "common/temp_root.h"
#include "support/log.h"

namespace brindleway {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint16_t kPeerCpi = 0x1234;
constexpr uint16_t kOwnCpi = 0x0567;

Bytes TextPayload(size_t length, uint32_t seed = 1) {
  static const char* kWords[] = {"GET ", "/index.html ", "HTTP/1.1\r\n", "Host: ", "example.internal\r\n",
                                 "Accept: ", "text/html ", "the ", "quick ", "brown ", "fox "};
  std::mt19937 rng(seed);
  std::string text;
  while (text.size() < length) text += kWords[rng() % (sizeof kWords / sizeof kWords[0])];
  return Bytes(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(length));
}

Bytes RandomPayload(size_t length, uint32_t seed = 7) {
  std::mt19937 rng(seed);
  Bytes out(length);
  for (auto& b : out) b = static_cast<uint8_t>(rng());
  return out;
}

// Sum of the header's words including its checksum: 0xFFFF when valid.
bool HeaderChecksumValid(const uint8_t* header) {
  uint32_t sum = 0;
  for (int i = 0; i < 20; i += 2) sum += static_cast<uint32_t>(header[i] << 8 | header[i + 1]);
  while (sum > 0xFFFF) sum = (sum & 0xFFFF) + (sum >> 16);
  return sum == 0xFFFF;
}

void SetChecksum(uint8_t* header) {
  header[10] = header[11] = 0;
  uint32_t sum = 0;
  for (int i = 0; i < 20; i += 2) sum += static_cast<uint32_t>(header[i] << 8 | header[i + 1]);
  while (sum > 0xFFFF) sum = (sum & 0xFFFF) + (sum >> 16);
  const uint16_t c = static_cast<uint16_t>(~sum);
  header[10] = static_cast<uint8_t>(c >> 8);
  header[11] = static_cast<uint8_t>(c);
}

Bytes Ipv4Packet(const Bytes& payload, uint8_t protocol = 6) {
  Bytes p(20);
  const size_t total = 20 + payload.size();
  p[0] = 0x45;
  p[2] = static_cast<uint8_t>(total >> 8);
  p[3] = static_cast<uint8_t>(total);
  p[4] = 0x12;
  p[5] = 0x34;
  p[8] = 64;
  p[9] = protocol;
  const uint8_t addresses[8] = {10, 0, 0, 2, 10, 0, 0, 1};
  std::memcpy(&p[12], addresses, 8);
  SetChecksum(p.data());
  p.insert(p.end(), payload.begin(), payload.end());
  return p;
}

Bytes ZlibCompress(const Bytes& data) {
  uLongf length = compressBound(static_cast<uLong>(data.size()));
  Bytes out(length);
  EXPECT_EQ(compress(out.data(), &length, data.data(), static_cast<uLong>(data.size())), Z_OK);
  out.resize(length);
  return out;
}

// An IPComp packet as the gateway would send it, built with zlib's one-shot
// compress.
Bytes IpCompPacket(const Bytes& inner, uint16_t cpi, const Bytes* rawData = nullptr) {
  const Bytes data = rawData != nullptr ? *rawData : ZlibCompress(Bytes(inner.begin() + 20, inner.end()));
  Bytes p(inner.begin(), inner.begin() + 20);
  const size_t total = 24 + data.size();
  p[2] = static_cast<uint8_t>(total >> 8);
  p[3] = static_cast<uint8_t>(total);
  p[9] = 108;
  SetChecksum(p.data());
  p.push_back(inner[9]);
  p.push_back(0);
  p.push_back(static_cast<uint8_t>(cpi >> 8));
  p.push_back(static_cast<uint8_t>(cpi));
  p.insert(p.end(), data.begin(), data.end());
  return p;
}

// A payload of `length` bytes that zlib's default level compresses to
// exactly `target` bytes: random bytes, then a repeated filler.
Bytes PayloadCompressingTo(size_t length, size_t target) {
  for (uint32_t seed = 1; seed < 200; ++seed) {
    for (size_t randomBytes = 0; randomBytes <= length; ++randomBytes) {
      Bytes p = RandomPayload(randomBytes, seed);
      Bytes filler = TextPayload(length - randomBytes, seed);
      p.insert(p.end(), filler.begin(), filler.end());
      const size_t size = ZlibCompress(p).size();
      if (size == target) return p;
      if (size > target) break;
    }
  }
  ADD_FAILURE() << "no payload found for " << target;
  return {};
}

class IpCompTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LogInit(nullptr);
    m_pool = std::make_unique<PacketBufferPool>();
    ASSERT_EQ(m_pool->Result(), 0);
    m_comp.SetAlgorithm(IPCOMP_ALGORITHM_ZLIB);
    m_comp.SetPeerCpi(kPeerCpi);
    m_comp.SetOwnCpi(kOwnCpi);
  }
  void TearDown() override {
    g_dwDebugTraceMask = 0;
    m_descs.clear();
    m_pool.reset();
  }

  buf_desc* Desc(const Bytes& packet) {
    BufDescPtr desc = buf_desc_alloc(1);
    EXPECT_NE(desc, nullptr);
    std::memcpy(desc->pData, packet.data(), packet.size());
    desc->dwLength = static_cast<uint32_t>(packet.size());
    m_descs.push_back(std::move(desc));
    return m_descs.back().get();
  }
  static Bytes Content(const buf_desc* desc) { return Bytes(desc->pData, desc->pData + desc->dwLength); }

  vqtest::TempRoot m_root;
  std::unique_ptr<PacketBufferPool> m_pool;
  std::vector<BufDescPtr> m_descs;
  CIpComp m_comp;
};

TEST_F(IpCompTest, PayloadSizeThreshold) {
  const Bytes at = Ipv4Packet(Bytes(90, 'a'));
  const Bytes above = Ipv4Packet(Bytes(91, 'a'));
  buf_desc* d1 = Desc(at);
  EXPECT_EQ(m_comp.CompressPacket(d1), IPCOMP_ERROR_PAYLOAD_TOO_SMALL);
  EXPECT_EQ(Content(d1), at);
  buf_desc* d2 = Desc(above);
  EXPECT_EQ(m_comp.CompressPacket(d2), IPCOMP_OK);
  EXPECT_LT(d2->dwLength, above.size());
}

TEST_F(IpCompTest, SavingMustExceedAQuarter) {
  // 400-byte payload: a saving of 100 is not enough, 101 is.
  const Bytes to300 = Ipv4Packet(PayloadCompressingTo(400, 300));
  buf_desc* d1 = Desc(to300);
  EXPECT_EQ(m_comp.CompressPacket(d1), IPCOMP_ERROR_COMPRESS_RATIO_TOO_LOW);
  EXPECT_EQ(Content(d1), to300);

  const Bytes to299 = Ipv4Packet(PayloadCompressingTo(400, 299));
  buf_desc* d2 = Desc(to299);
  EXPECT_EQ(m_comp.CompressPacket(d2), IPCOMP_OK);
  EXPECT_EQ(d2->dwLength, 323u);
  EXPECT_EQ(d2->pData[2] << 8 | d2->pData[3], 323);
  EXPECT_EQ(m_comp.GetOutboundBeforeCompression(), 400u);
  EXPECT_EQ(m_comp.GetOutboundSaved(), 101u);
}

TEST_F(IpCompTest, IncompressiblePacketStaysRaw) {
  const Bytes packet = Ipv4Packet(RandomPayload(1400));
  buf_desc* d = Desc(packet);
  EXPECT_EQ(m_comp.CompressPacket(d), IPCOMP_ERROR_COMPRESS_RATIO_TOO_LOW);
  EXPECT_EQ(Content(d), packet);
  EXPECT_EQ(m_comp.GetOutboundBeforeCompression(), 0u);
}

TEST_F(IpCompTest, CompressedPacketHeader) {
  const Bytes payload = TextPayload(1000);
  const Bytes packet = Ipv4Packet(payload, 17);
  buf_desc* d = Desc(packet);
  ASSERT_EQ(m_comp.CompressPacket(d), IPCOMP_OK);
  const Bytes out = Content(d);
  const Bytes expectedData = ZlibCompress(payload);
  ASSERT_EQ(out.size(), 24 + expectedData.size());
  EXPECT_EQ(out[9], 108);
  EXPECT_EQ(out[20], 17);  // the original protocol
  EXPECT_EQ(out[21], 0);
  EXPECT_EQ(out[22] << 8 | out[23], kPeerCpi);
  EXPECT_EQ(static_cast<size_t>(out[2] << 8 | out[3]), out.size());
  EXPECT_TRUE(HeaderChecksumValid(out.data()));
  // Everything else of the header is carried as it was.
  for (int i : {0, 1, 4, 5, 6, 7, 8, 12, 13, 14, 15, 16, 17, 18, 19}) EXPECT_EQ(out[i], packet[i]) << i;
  EXPECT_EQ(Bytes(out.begin() + 24, out.end()), expectedData);
  // The independent inflater gets the payload back.
  Bytes inflated(payload.size());
  uLongf inflatedLength = static_cast<uLongf>(inflated.size());
  ASSERT_EQ(uncompress(inflated.data(), &inflatedLength, out.data() + 24, static_cast<uLong>(out.size() - 24)), Z_OK);
  EXPECT_EQ(inflated, payload);
  EXPECT_EQ(m_comp.GetOutboundBeforeCompression(), 1000u);
  EXPECT_EQ(m_comp.GetOutboundSaved(), 1000u - expectedData.size());
}

TEST_F(IpCompTest, OnlyIpv4WithPlainHeaderIsCompressed) {
  Bytes withOptions = Ipv4Packet(TextPayload(500));
  withOptions[0] = 0x46;
  Bytes ipv6 = Ipv4Packet(TextPayload(500));
  ipv6[0] = 0x60;
  const Bytes tooShort(19, 0x45);
  for (const Bytes& packet : {withOptions, ipv6, tooShort}) {
    buf_desc* d = Desc(packet);
    EXPECT_NE(m_comp.CompressPacket(d), IPCOMP_OK);
    EXPECT_EQ(Content(d), packet);
  }
}

TEST_F(IpCompTest, CompressionOffPassesBothWays) {
  for (uint16_t algorithm : {0, 1, 3, 0xFFFF}) {
    m_comp.SetAlgorithm(algorithm);
    EXPECT_EQ(m_comp.GetAlgorithm(), IPCOMP_ALGORITHM_NONE) << algorithm;
    const Bytes packet = Ipv4Packet(TextPayload(800));
    const Bytes ipcomp = IpCompPacket(packet, kOwnCpi);
    buf_desc* out = Desc(packet);
    buf_desc* in = Desc(ipcomp);
    EXPECT_EQ(m_comp.CompressPacket(out), IPCOMP_ERROR_NO_COMPRESS);
    EXPECT_EQ(m_comp.UncompressPacket(in), IPCOMP_ERROR_NO_COMPRESS);
    EXPECT_EQ(Content(out), packet);
    EXPECT_EQ(Content(in), ipcomp);
  }
  m_comp.SetAlgorithm(IPCOMP_ALGORITHM_ZLIB);
  EXPECT_EQ(m_comp.GetAlgorithm(), IPCOMP_ALGORITHM_ZLIB);
}

TEST_F(IpCompTest, UncompressesGatewayPacket) {
  const Bytes payload = TextPayload(1200, 3);
  const Bytes packet = Ipv4Packet(payload, 6);
  const Bytes ipcomp = IpCompPacket(packet, kOwnCpi);
  buf_desc* d = Desc(ipcomp);
  ASSERT_EQ(m_comp.UncompressPacket(d), IPCOMP_OK);
  // Protocol, total length and checksum restored: the original packet.
  EXPECT_EQ(Content(d), packet);
  EXPECT_EQ(m_comp.GetInboundAfterDecompression(), 1200u);
  EXPECT_EQ(m_comp.GetInboundGained(), 1200u - (ipcomp.size() - 24));
}

TEST_F(IpCompTest, RoundTripBetweenTwoEnds) {
  CIpComp gateway;
  gateway.SetAlgorithm(IPCOMP_ALGORITHM_ZLIB);
  gateway.SetOwnCpi(kPeerCpi);
  for (uint32_t seed = 0; seed < 20; ++seed) {
    const Bytes packet = Ipv4Packet(TextPayload(300 + seed * 70, seed), static_cast<uint8_t>(seed));
    buf_desc* d = Desc(packet);
    ASSERT_EQ(m_comp.CompressPacket(d), IPCOMP_OK) << seed;
    ASSERT_EQ(gateway.UncompressPacket(d), IPCOMP_OK) << seed;
    EXPECT_EQ(Content(d), packet) << seed;
  }
}

TEST_F(IpCompTest, WrongCpiAndOrdinaryPackets) {
  const Bytes packet = Ipv4Packet(TextPayload(600));
  const Bytes foreign = IpCompPacket(packet, kOwnCpi + 1);
  buf_desc* d1 = Desc(foreign);
  EXPECT_EQ(m_comp.UncompressPacket(d1), IPCOMP_ERROR_CPI_INVALID);
  EXPECT_EQ(Content(d1), foreign);
  buf_desc* d2 = Desc(packet);
  EXPECT_EQ(m_comp.UncompressPacket(d2), IPCOMP_ERROR_NOT_IPCOMP_PACKAGE);
  EXPECT_EQ(Content(d2), packet);
}

TEST_F(IpCompTest, MoreThanTenfoldExpansion) {
  // 54-byte datagram whose data inflates to 1500 bytes: the first room
  // (10 x length - 20) is too small, the grown one fits.
  const Bytes packet = Ipv4Packet(Bytes(1500, 'z'));
  const Bytes ipcomp = IpCompPacket(packet, kOwnCpi);
  ASSERT_LT(ipcomp.size() * 10 - 20, 1500u);
  buf_desc* d = Desc(ipcomp);
  ASSERT_EQ(m_comp.UncompressPacket(d), IPCOMP_OK);
  EXPECT_EQ(Content(d), packet);
}

TEST_F(IpCompTest, OutputBoundedByPacketCapacity) {
  // The buffer holds 1856 bytes: 1836 of data behind the header.
  const Bytes fits = Ipv4Packet(Bytes(1836, 'q'));
  buf_desc* d1 = Desc(IpCompPacket(fits, kOwnCpi));
  EXPECT_EQ(m_comp.UncompressPacket(d1), IPCOMP_OK);
  EXPECT_EQ(Content(d1), fits);

  const Bytes over = Ipv4Packet(Bytes(1837, 'q'));
  const Bytes ipcomp = IpCompPacket(over, kOwnCpi);
  buf_desc* d2 = Desc(ipcomp);
  EXPECT_EQ(m_comp.UncompressPacket(d2), IPCOMP_ERROR_FAILED);
  EXPECT_EQ(Content(d2), ipcomp);
}

TEST_F(IpCompTest, HostileInboundPacketsDropped) {
  const Bytes inner = Ipv4Packet(TextPayload(600));
  const Bytes good = IpCompPacket(inner, kOwnCpi);
  const Bytes data(good.begin() + 24, good.end());
  // About 1 KB that inflates to 1 MB.
  const Bytes bomb = ZlibCompress(Bytes(1 << 20, 0));
  ASSERT_LT(bomb.size(), 1200u);

  struct Case {
    const char* name;
    Bytes packet;
  };
  Bytes badVersion = good;
  badVersion[0] = 0x46;
  Bytes headersOnly(good.begin(), good.begin() + 24);
  const Bytes garbage = RandomPayload(300, 11);
  const Bytes truncatedData(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(data.size() / 2));
  Bytes corrupt = data;
  corrupt[corrupt.size() / 2] ^= 0x5A;
  const Case cases[] = {
      {"shorter than an IPv4 header", Bytes(good.begin(), good.begin() + 12)},
      {"IPComp header cut at 21", Bytes(good.begin(), good.begin() + 21)},
      {"IPComp header cut at 23", Bytes(good.begin(), good.begin() + 23)},
      {"header with options", badVersion},
      {"no data", headersOnly},
      {"garbage data", IpCompPacket(inner, kOwnCpi, &garbage)},
      {"truncated stream", IpCompPacket(inner, kOwnCpi, &truncatedData)},
      {"corrupted stream", IpCompPacket(inner, kOwnCpi, &corrupt)},
      {"1 KB inflating to 1 MB", IpCompPacket(inner, kOwnCpi, &bomb)},
  };
  for (const Case& c : cases) {
    buf_desc* d = Desc(c.packet);
    EXPECT_EQ(m_comp.UncompressPacket(d), IPCOMP_ERROR_FAILED) << c.name;
    EXPECT_EQ(Content(d), c.packet) << c.name;
  }
  EXPECT_EQ(m_comp.GetInboundAfterDecompression(), 0u);
}

TEST_F(IpCompTest, ResetClearsEverything) {
  buf_desc* d = Desc(Ipv4Packet(TextPayload(700)));
  ASSERT_EQ(m_comp.CompressPacket(d), IPCOMP_OK);
  m_comp.SetInboundGained(5);
  m_comp.SetInboundAfterDecompression(6);
  m_comp.Reset();
  EXPECT_EQ(m_comp.GetOwnCpi(), 0);
  EXPECT_EQ(m_comp.GetPeerCpi(), 0);
  EXPECT_EQ(m_comp.GetAlgorithm(), 0);
  EXPECT_EQ(m_comp.GetInboundAfterDecompression(), 0u);
  EXPECT_EQ(m_comp.GetInboundGained(), 0u);
  EXPECT_EQ(m_comp.GetOutboundBeforeCompression(), 0u);
  EXPECT_EQ(m_comp.GetOutboundSaved(), 0u);
  const Bytes packet = Ipv4Packet(TextPayload(700));
  buf_desc* d2 = Desc(packet);
  EXPECT_EQ(m_comp.CompressPacket(d2), IPCOMP_ERROR_NO_COMPRESS);
}

TEST_F(IpCompTest, DrawOwnCpiCoversItsRange) {
  bool low = false;
  bool high = false;
  for (int i = 0; i < 200; ++i) {
    const uint16_t cpi = m_comp.DrawOwnCpi();
    ASSERT_LE(cpi, 32767);
    EXPECT_EQ(m_comp.GetOwnCpi(), cpi);
    (cpi < 16384 ? low : high) = true;
  }
  EXPECT_TRUE(low && high);
}

TEST_F(IpCompTest, TraceLines) {
  g_dwDebugTraceMask = TRACE_PACKETS;
  buf_desc* d = Desc(Ipv4Packet(Bytes(90, 'a')));
  m_comp.CompressPacket(d);
  buf_desc* d2 = Desc(IpCompPacket(Ipv4Packet(TextPayload(300)), kOwnCpi + 1));
  m_comp.UncompressPacket(d2);
  const std::string log = vqtest::ReadLogText();
  EXPECT_NE(log.find("dwSourceIPPayloadLen = 90"), std::string::npos) << log;
  EXPECT_NE(log.find("IPCOMP_PAYLOAD_MIN_SIZE"), std::string::npos) << log;
  EXPECT_NE(log.find("Compress finished ..."), std::string::npos) << log;
  EXPECT_NE(log.find("IPCOMP_ERROR_CPI_INVALID"), std::string::npos) << log;
  EXPECT_NE(log.find("Uncompress finished ..."), std::string::npos) << log;
}

// Statistics read by the status reply while the I/O thread works.
TEST_F(IpCompTest, StatisticsReadWhileCompressing) {
  CIpComp gateway;
  gateway.SetAlgorithm(IPCOMP_ALGORITHM_ZLIB);
  gateway.SetOwnCpi(kPeerCpi);
  std::atomic<bool> done{false};
  std::thread reader([&] {
    while (!done.load()) {
      (void)m_comp.GetOutboundSaved();
      (void)m_comp.GetOutboundBeforeCompression();
      m_comp.SetOwnCpi(kOwnCpi);
    }
  });
  const Bytes packet = Ipv4Packet(TextPayload(500));
  for (int i = 0; i < 200; ++i) {
    buf_desc* d = Desc(packet);
    ASSERT_EQ(m_comp.CompressPacket(d), IPCOMP_OK);
    ASSERT_EQ(gateway.UncompressPacket(d), IPCOMP_OK);
    m_descs.clear();
  }
  done = true;
  reader.join();
  EXPECT_EQ(m_comp.GetOutboundBeforeCompression(), 200u * 500u);
  EXPECT_EQ(gateway.GetInboundAfterDecompression(), 200u * 500u);
}

// The data path compresses on its outbound thread while its inbound thread
// decompresses, on the one process-wide instance.
TEST_F(IpCompTest, CompressAndUncompressOnTwoThreadsAtOnce) {
  CIpComp gateway;
  gateway.SetAlgorithm(IPCOMP_ALGORITHM_ZLIB);
  gateway.SetOwnCpi(kPeerCpi);
  gateway.SetPeerCpi(kOwnCpi);
  const Bytes packet = Ipv4Packet(TextPayload(800));
  // What the gateway sends us, compressed once.
  std::vector<BufDescPtr> fromGateway;
  for (int i = 0; i < 200; ++i) {
    fromGateway.push_back(buf_desc_alloc(1));
    std::memcpy(fromGateway.back()->pData, packet.data(), packet.size());
    fromGateway.back()->dwLength = static_cast<uint32_t>(packet.size());
    ASSERT_EQ(gateway.CompressPacket(fromGateway.back().get()), IPCOMP_OK);
  }
  std::atomic<int> failures{0};
  std::thread inbound([&] {
    for (BufDescPtr& d : fromGateway) {
      if (m_comp.UncompressPacket(d.get()) != IPCOMP_OK || Content(d.get()) != packet) ++failures;
    }
  });
  BufDescPtr out = buf_desc_alloc(1);
  for (int i = 0; i < 200; ++i) {
    buf_desc_reset(out.get());
    std::memcpy(out->pData, packet.data(), packet.size());
    out->dwLength = static_cast<uint32_t>(packet.size());
    if (m_comp.CompressPacket(out.get()) != IPCOMP_OK || gateway.UncompressPacket(out.get()) != IPCOMP_OK ||
        Content(out.get()) != packet) {
      ++failures;
    }
  }
  inbound.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(m_comp.GetOutboundBeforeCompression(), 200u * 800u);
  EXPECT_EQ(m_comp.GetInboundAfterDecompression(), 200u * 800u);
}

// ---- the compressors on their own

TEST(ZlibCompressorTest, SameBytesAsOneShotCompress) {
  CZlibCompressor zlib;
  std::vector<Bytes> inputs;
  for (uint32_t seed = 0; seed < 10; ++seed) {
    inputs.push_back(TextPayload(1400, seed));
    inputs.push_back(RandomPayload(1400, seed));
    inputs.push_back(TextPayload(91 + seed, seed));
  }
  for (const Bytes& in : inputs) {
    Bytes out(compressBound(static_cast<uLong>(in.size())));
    uint32_t length = static_cast<uint32_t>(out.size());
    ASSERT_EQ(zlib.Compress(in.data(), static_cast<uint32_t>(in.size()), out.data(), length), COMP_OK);
    out.resize(length);
    EXPECT_EQ(out, ZlibCompress(in));
  }
}

TEST(ZlibCompressorTest, ResultCodes) {
  CZlibCompressor zlib;
  const Bytes text = TextPayload(1000);
  const Bytes packed = ZlibCompress(text);
  Bytes out(2000);

  uint32_t small = 10;
  EXPECT_EQ(zlib.Compress(text.data(), 1000, out.data(), small), COMP_ERROR_MEM_NOT_ENOUGH);
  small = 999;
  EXPECT_EQ(zlib.Uncompress(packed.data(), static_cast<uint32_t>(packed.size()), out.data(), small),
            COMP_ERROR_MEM_NOT_ENOUGH);
  uint32_t exact = 1000;
  ASSERT_EQ(zlib.Uncompress(packed.data(), static_cast<uint32_t>(packed.size()), out.data(), exact), COMP_OK);
  EXPECT_EQ(exact, 1000u);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 1000), text);

  uint32_t room = 2000;
  EXPECT_EQ(zlib.Uncompress(packed.data(), static_cast<uint32_t>(packed.size() - 5), out.data(), room),
            COMP_ERROR_FAILED);
  const Bytes garbage = RandomPayload(100);
  room = 2000;
  EXPECT_EQ(zlib.Uncompress(garbage.data(), 100, out.data(), room), COMP_ERROR_FAILED);
  room = 2000;
  EXPECT_EQ(zlib.Uncompress(packed.data(), 0, out.data(), room), COMP_ERROR_FAILED);

  // A failure leaves the stream fit for the next packet.
  room = 2000;
  ASSERT_EQ(zlib.Uncompress(packed.data(), static_cast<uint32_t>(packed.size()), out.data(), room), COMP_OK);
  EXPECT_EQ(room, 1000u);

  CCompressor base;
  room = 2000;
  EXPECT_EQ(base.Compress(text.data(), 1000, out.data(), room), COMP_ERROR_FAILED);
  EXPECT_EQ(base.Uncompress(packed.data(), 10, out.data(), room), COMP_ERROR_FAILED);
}

// Records the largest room it was ever given.
class RecordingCompressor : public CZlibCompressor {
 public:
  int Uncompress(const uint8_t* src, uint32_t srcLen, uint8_t* dst, uint32_t& dstLen) override {
    largestRoom = std::max(largestRoom, dstLen);
    ++calls;
    return CZlibCompressor::Uncompress(src, srcLen, dst, dstLen);
  }
  uint32_t largestRoom = 0;
  int calls = 0;
};

TEST(ZlibCompressorTest, UncompressGrowFindsLengthWithinLimit) {
  RecordingCompressor zlib;
  const Bytes packed = ZlibCompress(Bytes(5000, 'x'));  // > 100-fold
  EXPECT_EQ(zlib.UncompressGrow(packed.data(), static_cast<uint32_t>(packed.size()), 1 << 20), 5000u);

  // 1 MB behind about 1 KB: never more room than the limit, and 0.
  RecordingCompressor bounded;
  const Bytes bomb = ZlibCompress(Bytes(1 << 20, 0));
  EXPECT_EQ(bounded.UncompressGrow(bomb.data(), static_cast<uint32_t>(bomb.size()), 1836), 0u);
  EXPECT_EQ(bounded.largestRoom, 1836u);

  // Exactly at the limit still fits.
  RecordingCompressor edge;
  const Bytes full = ZlibCompress(Bytes(1836, 'y'));
  EXPECT_EQ(edge.UncompressGrow(full.data(), static_cast<uint32_t>(full.size()), 1836), 1836u);

  // Broken data ends the search at once.
  RecordingCompressor broken;
  const Bytes garbage = RandomPayload(50);
  EXPECT_EQ(broken.UncompressGrow(garbage.data(), 50, 1 << 20), 0u);
  EXPECT_EQ(broken.calls, 1);
}

}  // namespace
}  // namespace brindleway
