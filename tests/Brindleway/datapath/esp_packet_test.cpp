// ESP-like packets: golden layouts, a fresh IV per datagram and sequence
// numbers, round trips with the gateway's independent end for every negotiable
// cipher and hash, buffer room, and a table of hostile datagrams that must
// all be dropped without reading outside them.
#include <gtest/gtest.h>

#include <set>

#include "esp_fixture.h"
#include "support/wire.h"

namespace brindleway::esptest {
namespace {

class EspPacketTest : public EspFixture {};

TEST_F(EspPacketTest, TripleDesSha1Golden) {
  ASSERT_EQ(Setup(ESP_ENC_3DES, ESP_HASH_SHA1), 0);
  const std::vector<uint8_t> inner = InnerPacket(20);
  const std::vector<uint8_t> first = Encap(inner);
  ASSERT_EQ(first.size(), 52u);  // 8 + 8 + (20 + 2 + 2) + 12
  EXPECT_EQ(wire::GetU32BE(first.data()), kGatewaySpi);
  EXPECT_EQ(wire::GetU32BE(first.data() + 4), 1u);
  const vqgateway::EspDecapResult r = m_gateway->Decap(first);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.padLength, 2);
  EXPECT_EQ(r.inner, inner);

  const std::vector<uint8_t> second = Encap(inner);
  ASSERT_EQ(second.size(), 52u);
  EXPECT_EQ(wire::GetU32BE(second.data() + 4), 2u);
  // Not the chained IV (the previous packet's last ciphertext block), and
  // not the first packet's.
  EXPECT_FALSE(std::equal(second.begin() + 8, second.begin() + 16, first.begin() + 32));
  EXPECT_FALSE(std::equal(second.begin() + 8, second.begin() + 16, first.begin() + 8));
  EXPECT_TRUE(m_gateway->Decap(second).ok);
}

TEST_F(EspPacketTest, PacketTraceLines) {
  ASSERT_EQ(Setup(ESP_ENC_3DES, ESP_HASH_SHA1), 0);
  g_dwDebugTraceMask = TRACE_PACKETS | TRACE_TIMING;
  const std::vector<uint8_t> inner = {'A', 'B', 0x00, 0x7F, 'c', 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 'z', '~', ' ', 0x80};
  const std::vector<uint8_t> datagram = Encap(inner);
  EXPECT_TRUE(LogHas("before encap... (20):\n"));
  EXPECT_TRUE(LogHas("00000000: 41 42 00 7f 63 01 02 03  04 05 06 07 08 09 0a 0b    AB..c... ........\n"));
  EXPECT_TRUE(LogHas("00000010: 7a 7e 20 80"));
  EXPECT_TRUE(LogHas("after encap... (52):\n"));
  EXPECT_TRUE(LogHas("Encryption time: "));
  EXPECT_TRUE(Decap(m_gateway->Encap(inner)));
  EXPECT_TRUE(LogHas("pad len: 2, next_header: 4\n"));
  EXPECT_TRUE(LogHas("after decap... (20):\n"));
  EXPECT_TRUE(LogHas("Decryption time: "));
}

TEST_F(EspPacketTest, NullNullLayoutPadsTrailerToFourBytes) {
  ASSERT_EQ(Setup(ESP_ENC_NULL, ESP_HASH_NULL), 0);
  const uint8_t expectedPad[8] = {2, 1, 0, 3, 2, 1, 0, 3};
  for (size_t length = 0; length < 8; ++length) {
    SCOPED_TRACE(length);
    const std::vector<uint8_t> inner = InnerPacket(length);
    std::vector<uint8_t> expected = {0x80, 0x00, 0x20, 0x02, 0, 0, 0, static_cast<uint8_t>(length + 1)};
    expected.insert(expected.end(), inner.begin(), inner.end());
    for (uint8_t i = 1; i <= expectedPad[length]; ++i) expected.push_back(i);
    expected.push_back(expectedPad[length]);
    expected.push_back(4);
    EXPECT_EQ(Encap(inner), expected);
  }
}

TEST_F(EspPacketTest, AesIvAndSequenceRestartAtEachSetup) {
  std::vector<std::vector<uint8_t>> firstIvs;
  for (uint16_t enc : {ESP_ENC_AES, ESP_ENC_AES256, ESP_ENC_AES}) {
    // The same keys each time (salt 3): only the SA's own IV key differs.
    ASSERT_EQ(Setup(enc, ESP_HASH_SHA256, kOwnSpi + enc, kGatewaySpi + enc), 0);
    const std::vector<uint8_t> first = Encap(InnerPacket(100));
    const std::vector<uint8_t> second = Encap(InnerPacket(30));
    ASSERT_FALSE(first.empty());
    ASSERT_FALSE(second.empty());
    EXPECT_EQ(wire::GetU32BE(first.data() + 4), 1u);
    EXPECT_EQ(wire::GetU32BE(second.data() + 4), 2u);
    // 16-byte IV; the first packet's ciphertext ends just before its ICV.
    const size_t firstCipherEnd = first.size() - 16;
    EXPECT_FALSE(std::equal(second.begin() + 8, second.begin() + 24, first.begin() + firstCipherEnd - 16));
    EXPECT_TRUE(m_gateway->Decap(first).ok);
    EXPECT_TRUE(m_gateway->Decap(second).ok);
    firstIvs.emplace_back(first.begin() + 8, first.begin() + 24);
  }
  // A new SA does not start the IVs over: datagram 1 of equal keys still
  // gets a different IV.
  EXPECT_NE(firstIvs[0], firstIvs[2]);
  EXPECT_NE(firstIvs[0], firstIvs[1]);
}

// The test: equal plaintexts get different IVs (and so different
// ciphertexts), no IV is the previous datagram's last ciphertext block (the
// chained IV an observer knows in advance), and the gateway's independent
// code opens every one with the IV it finds in the datagram.
TEST_F(EspPacketTest, EqualPlaintextsGetFreshIvs) {
  for (uint16_t enc : {ESP_ENC_DES, ESP_ENC_3DES, ESP_ENC_AES, ESP_ENC_AES192, ESP_ENC_AES256}) {
    SCOPED_TRACE(testing::Message() << "enc " << enc);
    esp_sa_cleanup();
    ASSERT_EQ(Setup(enc, ESP_HASH_SHA1), 0);
    const size_t ivLength = m_gateway->IvLength();
    const size_t icvLength = m_gateway->IcvLength();
    ASSERT_GT(ivLength, 0u);
    const std::vector<uint8_t> inner = InnerPacket(64);
    std::set<std::vector<uint8_t>> ivs;
    std::set<std::vector<uint8_t>> firstBlocks;
    std::vector<uint8_t> previousLastBlock;
    constexpr int kDatagrams = 200;
    for (int i = 0; i < kDatagrams; ++i) {
      SCOPED_TRACE(i);
      const std::vector<uint8_t> datagram = Encap(inner);
      ASSERT_GT(datagram.size(), 8 + ivLength + icvLength);
      const std::vector<uint8_t> iv(datagram.begin() + 8, datagram.begin() + 8 + static_cast<ptrdiff_t>(ivLength));
      const auto cipherEnd = datagram.end() - static_cast<ptrdiff_t>(icvLength);
      if (!previousLastBlock.empty()) {
        EXPECT_NE(iv, previousLastBlock);
      }
      previousLastBlock.assign(cipherEnd - static_cast<ptrdiff_t>(ivLength), cipherEnd);
      ivs.insert(iv);
      firstBlocks.emplace(datagram.begin() + 8 + static_cast<ptrdiff_t>(ivLength),
                          datagram.begin() + 8 + 2 * static_cast<ptrdiff_t>(ivLength));
      const vqgateway::EspDecapResult r = m_gateway->Decap(datagram);
      ASSERT_TRUE(r.ok) << r.error;
      EXPECT_EQ(r.inner, inner);
      EXPECT_EQ(r.sequence, static_cast<uint32_t>(i + 1));
    }
    EXPECT_EQ(ivs.size(), size_t{kDatagrams});
    // The same plaintext block under different IVs: different ciphertext.
    EXPECT_EQ(firstBlocks.size(), size_t{kDatagrams});
  }
}

// The NULL cipher stays without IV: the datagram is as before.
TEST_F(EspPacketTest, NullCipherHasNoIvSource) {
  ASSERT_EQ(Setup(ESP_ENC_NULL, ESP_HASH_SHA1), 0);
  EXPECT_EQ(esp_sa_state().current.outbound->ivSource, nullptr);
  const std::vector<uint8_t> inner = InnerPacket(20);
  const std::vector<uint8_t> first = Encap(inner);
  ASSERT_EQ(first.size(), 8u + 20 + 2 + 2 + 12);
  EXPECT_TRUE(std::equal(inner.begin(), inner.end(), first.begin() + 8));
  EXPECT_TRUE(m_gateway->Decap(first).ok);
}

struct Pair {
  uint16_t enc;
  uint16_t hash;
};

class EspRoundTrip : public EspFixture, public ::testing::WithParamInterface<Pair> {};

TEST_P(EspRoundTrip, BothWaysWithTheGateway) {
  ASSERT_EQ(Setup(GetParam().enc, GetParam().hash), 0);
  for (size_t length : {size_t{1}, size_t{20}, size_t{63}, size_t{64}, size_t{577}, size_t{1400}, size_t{1856}}) {
    SCOPED_TRACE(length);
    const std::vector<uint8_t> inner = InnerPacket(length, static_cast<uint8_t>(length));
    const std::vector<uint8_t> datagram = Encap(inner);
    ASSERT_FALSE(datagram.empty());
    const vqgateway::EspDecapResult r = m_gateway->Decap(datagram);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.inner, inner);

    std::vector<uint8_t> back;
    ASSERT_TRUE(Decap(m_gateway->Encap(inner), &back));
    EXPECT_EQ(back, inner);
  }
}

std::vector<Pair> AllPairs() {
  std::vector<Pair> pairs;
  for (uint16_t enc : {ESP_ENC_DES, ESP_ENC_3DES, ESP_ENC_NULL, ESP_ENC_AES, ESP_ENC_AES192, ESP_ENC_AES256}) {
    for (uint16_t hash : {ESP_HASH_MD5, ESP_HASH_SHA1, ESP_HASH_SHA256, ESP_HASH_SHA384, ESP_HASH_SHA512, ESP_HASH_NULL}) {
      pairs.push_back({enc, hash});
    }
  }
  return pairs;
}

INSTANTIATE_TEST_SUITE_P(Negotiable, EspRoundTrip, ::testing::ValuesIn(AllPairs()),
                         [](const ::testing::TestParamInfo<Pair>& info) {
                           return "enc" + std::to_string(info.param.enc) + "_hash" + std::to_string(info.param.hash);
                         });

TEST_F(EspPacketTest, EncapNeedsRoomAroundThePacket) {
  ASSERT_EQ(Setup(ESP_ENC_AES256, ESP_HASH_SHA512), 0);
  BufDescPtr noHead = Packet(InnerPacket(20));
  noHead->pData = noHead->pBuffer + 10;  // less than SPI + sequence + 16-byte IV
  EXPECT_EQ(esp_encap(noHead.get()), -1);
  EXPECT_EQ(noHead->pData, noHead->pBuffer + 10);
  EXPECT_EQ(noHead->dwLength, 20u);

  BufDescPtr noTail = Packet(InnerPacket(20));
  noTail->dwLength = static_cast<uint32_t>(PACKET_GUARD_OFFSET - PACKET_HEADROOM - 40);
  EXPECT_EQ(esp_encap(noTail.get()), -1);

  // The largest packet the pool holds fits with the longest trailer.
  BufDescPtr largest = Packet(InnerPacket(PACKET_MAX_LENGTH));
  ASSERT_EQ(esp_encap(largest.get()), 0);
  EXPECT_TRUE(m_gateway->Decap(Bytes(largest.get())).ok);
  // Only the refusal-free encapsulations numbered packets.
  EXPECT_EQ(esp_sa_state().current.outbound->seq, 1u);
}

// Hostile datagrams, for three shapes of SA.
struct HostileConfig {
  uint16_t enc;
  uint16_t hash;
  size_t iv;
  size_t block;
  size_t icv;
};

class EspHostile : public EspFixture, public ::testing::WithParamInterface<HostileConfig> {
 protected:
  // The SA's state that a dropped datagram must leave alone.
  struct Snapshot {
    uint32_t outSeq;
    const sa_desc* current;
    bool operator==(const Snapshot&) const = default;
  };
  Snapshot Take() {
    return Snapshot{esp_sa_state().current.outbound->seq, esp_sa_state().current.inbound};
  }
};

TEST_P(EspHostile, EveryMalformedDatagramIsDropped) {
  const HostileConfig c = GetParam();
  ASSERT_EQ(Setup(c.enc, c.hash), 0);
  const std::vector<uint8_t> inner = InnerPacket(45);
  const std::vector<uint8_t> good = m_gateway->Encap(inner);
  const Snapshot before = Take();
  const size_t header = 8 + c.iv;

  // Lengths around every boundary, the bytes a good datagram's prefix.
  const size_t minPayload = c.block > 2 ? c.block : 2;
  for (size_t length : {size_t{0}, size_t{1}, size_t{3}, size_t{4}, size_t{7}, size_t{8}, header, header + c.icv,
                        header + c.icv + minPayload - 1, header + minPayload + c.icv - 1}) {
    SCOPED_TRACE(testing::Message() << "length " << length);
    std::vector<uint8_t> cut(good.begin(), good.begin() + std::min(length, good.size()));
    EXPECT_FALSE(Decap(cut));
  }
  // Not whole blocks: one byte more or fewer than a good datagram.
  if (c.block > 1) {
    std::vector<uint8_t> longer = good;
    longer.push_back(0);
    EXPECT_FALSE(Decap(longer));
    EXPECT_FALSE(Decap(std::vector<uint8_t>(good.begin(), good.end() - 1)));
    EXPECT_TRUE(LogHas("not a multiple of algorithm block size"));
  }

  // One flipped bit in each field.
  struct Field {
    const char* name;
    size_t offset;
  };
  std::vector<Field> fields = {{"spi", 0}, {"sequence", 5}, {"payload", header + 3}, {"trailer", good.size() - c.icv - 1}};
  if (c.iv > 0) fields.push_back({"iv", 8 + c.iv - 1});
  if (c.icv > 0) fields.push_back({"icv", good.size() - 1});
  for (const Field& f : fields) {
    SCOPED_TRACE(f.name);
    std::vector<uint8_t> flipped = good;
    flipped[f.offset] ^= 0x10;
    if (c.icv == 0 && (std::string(f.name) == "sequence" || std::string(f.name) == "payload" ||
                       std::string(f.name) == "iv")) {
      // Without an ICV nothing protects these: only the SPI and the
      // trailer are checked. Still no crash.
      Decap(flipped);
      continue;
    }
    EXPECT_FALSE(Decap(flipped));
  }
  EXPECT_TRUE(LogHas("unknown spi"));

  // Authentic datagrams whose trailer lies.
  const size_t bodyLength = ((48 + c.block - 1) / c.block) * c.block;
  struct Trailer {
    const char* name;
    uint8_t padLength;
    uint8_t nextHeader;
    bool wrongPadByte;
    const char* logLine;
  };
  const Trailer trailers[] = {
      {"pad length past the payload", static_cast<uint8_t>(bodyLength - 1), 4, false, "Inconsistent padlen\n"},
      {"pad length 255", 255, 4, false, "Inconsistent padlen\n"},
      {"next header 6", 2, 6, false, "Inconsistent next_header 6\n"},
      {"wrong pad byte", 6, 4, true, "Bad padding\n"},
  };
  for (const Trailer& t : trailers) {
    SCOPED_TRACE(t.name);
    std::vector<uint8_t> body = InnerPacket(bodyLength);
    const size_t padStart = bodyLength - 2 - (t.padLength <= bodyLength - 2 ? t.padLength : 0);
    for (size_t i = padStart; i < bodyLength - 2; ++i) body[i] = static_cast<uint8_t>(i - padStart + 1);
    if (t.wrongPadByte) body[padStart + 2] ^= 0x40;
    body[bodyLength - 2] = t.padLength;
    body[bodyLength - 1] = t.nextHeader;
    EXPECT_FALSE(Decap(m_gateway->EncapBody(body)));
    EXPECT_TRUE(LogHas(t.logLine));
  }

  // Nothing of the above moved the SA, and a good datagram still passes.
  EXPECT_EQ(Take(), before);
  std::vector<uint8_t> out;
  EXPECT_TRUE(Decap(good, &out));
  EXPECT_EQ(out, inner);
}

INSTANTIATE_TEST_SUITE_P(Shapes, EspHostile,
                         ::testing::Values(HostileConfig{ESP_ENC_3DES, ESP_HASH_SHA1, 8, 8, 12},
                                           HostileConfig{ESP_ENC_AES, ESP_HASH_SHA512, 16, 16, 32},
                                           HostileConfig{ESP_ENC_NULL, ESP_HASH_NULL, 0, 1, 0},
                                           HostileConfig{ESP_ENC_NULL, ESP_HASH_MD5, 0, 1, 12}),
                         [](const ::testing::TestParamInfo<HostileConfig>& info) {
                           return "enc" + std::to_string(info.param.enc) + "_hash" + std::to_string(info.param.hash);
                         });

}  // namespace
}  // namespace brindleway::esptest
