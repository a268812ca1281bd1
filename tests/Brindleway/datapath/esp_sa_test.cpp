// Security associations: the id tables and their fallbacks, where each key
// comes from in the key block, rekey with the aging pair, aging removal,
// clean-up, a refused set-up, a failing random source, and senders on
// several threads.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

#include "esp_fixture.h"

namespace brindleway::esptest {
namespace {

class EspSaTest : public EspFixture {};

TEST_F(EspSaTest, IdTablesAndFallbacks) {
  struct Case {
    uint16_t enc;
    uint16_t hash;
    uint16_t shownEnc;
    uint16_t shownHash;
    const char* encLine;
    const char* hashLine;
    size_t ivLength;
    size_t icvLength;
  };
  const Case cases[] = {
      {2, 1, 2, 1, "Encryption algorithm: DES\n", "Hash algorithm: MD5\n", 8, 12},
      {3, 2, 3, 2, "Encryption algorithm: 3DES\n", "Hash algorithm: SHA-1\n", 8, 12},
      {11, 8, 11, 8, "Encryption algorithm: NULL\n", "Hash algorithm: NULL\n", 0, 0},
      {12, 5, 12, 5, "Encryption algorithm: AES\n", "Hash algorithm: SHA-256\n", 16, 16},
      {14, 6, 14, 6, "Encryption algorithm: AES192\n", "Hash algorithm: SHA-384\n", 16, 24},
      {15, 7, 15, 7, "Encryption algorithm: AES256\n", "Hash algorithm: SHA-512\n", 16, 32},
      {1, 3, 3, 2, "Default encryption algorithm: 3DES\n", "Default hash algorithm: SHA-1\n", 8, 12},
      {13, 0, 3, 2, "Default encryption algorithm: 3DES\n", "Default hash algorithm: SHA-1\n", 8, 12},
  };
  g_dwDebugTraceMask = TRACE_SETUP;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "enc " << c.enc << " hash " << c.hash);
    esp_sa_cleanup();
    ASSERT_EQ(Setup(c.enc, c.hash), 0);
    EXPECT_EQ(esp_cipher_id(), c.shownEnc);
    EXPECT_EQ(esp_hash_id(), c.shownHash);
    EXPECT_TRUE(LogHas(c.encLine));
    EXPECT_TRUE(LogHas(c.hashLine));
    // The fallback is what goes on the wire: the gateway, reading the ids
    // the same way, opens the packet.
    const std::vector<uint8_t> inner = InnerPacket(40);
    const std::vector<uint8_t> datagram = Encap(inner);
    const size_t pad = datagram.size() - 8 - c.ivLength - 40 - 2 - c.icvLength;
    EXPECT_LT(pad, 16u);
    const vqgateway::EspDecapResult r = m_gateway->Decap(datagram);
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.inner, inner);
  }
}

TEST_F(EspSaTest, KeysComeFromTheKeyBlockInStepOrder) {
  const EspKeySlices s = esp_key_slices(20, 24);
  EXPECT_EQ(s.inboundAuth, 0u);
  EXPECT_EQ(s.inboundCrypt, 20u);
  EXPECT_EQ(s.outboundAuth, 44u);
  EXPECT_EQ(s.outboundCrypt, 64u);
  EXPECT_EQ(s.end, 88u);
  EXPECT_EQ(esp_key_slices(64, 32).end, 192u);

  ASSERT_EQ(Setup(ESP_ENC_3DES, ESP_HASH_SHA1), 0);
  const std::optional<sa_peer> peer = find_peer_by_spi(kOwnSpi);
  ASSERT_TRUE(peer.has_value());
  const sa_desc& in = *peer->inbound;
  const sa_desc& out = *peer->outbound;
  EXPECT_EQ(in.spi, kOwnSpi);
  EXPECT_EQ(out.spi, kGatewaySpi);
  ASSERT_EQ(in.auth_key_len, 20);
  ASSERT_EQ(in.enc_key_len, 24u);
  EXPECT_EQ(0, std::memcmp(in.auth_key, m_keyBlock.data(), 20));
  EXPECT_EQ(0, std::memcmp(in.enc_key, m_keyBlock.data() + 20, 24));
  EXPECT_EQ(0, std::memcmp(out.auth_key, m_keyBlock.data() + 44, 20));
  EXPECT_EQ(0, std::memcmp(out.enc_key, m_keyBlock.data() + 64, 24));
  EXPECT_EQ(in.dst.address, 0u);
  EXPECT_EQ(out.dst.address, inet_addr("192.0.2.1"));
  EXPECT_EQ(out.dst.port, ESP_SA_PORT);
  EXPECT_EQ(out.src.address, inet_addr("10.1.0.2"));
  EXPECT_GT(in.stamps[0], 0);
  EXPECT_EQ(find_peer_by_spi(kGatewaySpi), std::nullopt);
}

TEST_F(EspSaTest, RekeyKeepsOldSpiUntilAgingRemoved) {
  ASSERT_EQ(Setup(ESP_ENC_AES, ESP_HASH_SHA256, 0x111, 0x211, 3), 0);
  std::unique_ptr<vqgateway::EspPeer> oldGateway = std::move(m_gateway);
  ASSERT_FALSE(Encap(InnerPacket(20)).empty());

  ASSERT_EQ(Setup(ESP_ENC_AES256, ESP_HASH_SHA512, 0x222, 0x322, 9), 0);
  const std::vector<uint8_t> inner = InnerPacket(60);
  // In flight under the old keys: still accepted.
  std::vector<uint8_t> out;
  EXPECT_TRUE(Decap(oldGateway->Encap(inner), &out));
  EXPECT_EQ(out, inner);
  EXPECT_TRUE(Decap(m_gateway->Encap(inner), &out));
  EXPECT_EQ(out, inner);
  // Outbound moved to the new pair, numbering from 1.
  const std::vector<uint8_t> datagram = Encap(inner);
  const vqgateway::EspDecapResult r = m_gateway->Decap(datagram);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.sequence, 1u);

  remove_aging_peer();
  EXPECT_TRUE(LogHas("remove_aging_peer............\n"));
  EXPECT_TRUE(LogHas("local spi = 273, remote spi = 529  ............\n"));
  EXPECT_FALSE(Decap(oldGateway->Encap(inner)));
  EXPECT_TRUE(LogHas("unknown spi 273\n"));
  EXPECT_TRUE(Decap(m_gateway->Encap(inner)));
  // Nothing left to age: a second removal is harmless.
  remove_aging_peer();

  // A third key exchange drops whatever pair still ages.
  ASSERT_EQ(Setup(ESP_ENC_3DES, ESP_HASH_SHA1, 0x333, 0x433, 11), 0);
  EXPECT_TRUE(find_peer_by_spi(0x222).has_value());
  ASSERT_EQ(Setup(ESP_ENC_3DES, ESP_HASH_SHA1, 0x444, 0x544, 12), 0);
  EXPECT_FALSE(find_peer_by_spi(0x222).has_value());
  EXPECT_TRUE(find_peer_by_spi(0x333).has_value());
}

TEST_F(EspSaTest, CleanupEndsEverything) {
  ASSERT_EQ(Setup(ESP_ENC_AES, ESP_HASH_SHA1), 0);
  ASSERT_EQ(Setup(ESP_ENC_AES, ESP_HASH_SHA1, 0x77, 0x88), 0);
  esp_sa_cleanup();
  EXPECT_EQ(esp_cipher_id(), 0);
  EXPECT_EQ(esp_hash_id(), 0);
  EXPECT_FALSE(find_peer_by_spi(kOwnSpi).has_value());
  EXPECT_FALSE(find_peer_by_spi(0x77).has_value());
  EXPECT_TRUE(esp_sa_state().inboundList.empty());
  // Never sent in the clear.
  BufDescPtr desc = Packet(InnerPacket(20));
  uint8_t* before = desc->pData;
  EXPECT_EQ(esp_encap(desc.get()), -1);
  EXPECT_EQ(desc->pData, before);
  EXPECT_EQ(desc->dwLength, 20u);
  EXPECT_TRUE(LogHas("destination unknown\n"));
}

TEST_F(EspSaTest, UnknownDestinationRefusesToSend) {
  m_keyBlock = MakeKeyBlock(1);
  ASSERT_EQ(esp_sa_setup(kOwnSpi, kGatewaySpi, m_keyBlock, ESP_ENC_AES, ESP_HASH_SHA1, inet_addr("10.1.0.2"), 0), 0);
  BufDescPtr desc = Packet(InnerPacket(20));
  EXPECT_EQ(esp_encap(desc.get()), -1);
  EXPECT_EQ(desc->dwLength, 20u);
  EXPECT_TRUE(LogHas("destination unknown\n"));
}

TEST_F(EspSaTest, RefusedSetupLeavesSlots) {
  ASSERT_EQ(Setup(ESP_ENC_AES, ESP_HASH_SHA1), 0);
  const std::vector<uint8_t> shortBlock(100, 1);
  EXPECT_EQ(esp_sa_setup(0x99, 0x98, shortBlock, ESP_ENC_AES, ESP_HASH_SHA1, 1, 2), -1);
  EXPECT_TRUE(LogHas("Invalid crypt key\n"));
  EXPECT_TRUE(find_peer_by_spi(kOwnSpi).has_value());
  EXPECT_FALSE(find_peer_by_spi(0x99).has_value());
  EXPECT_EQ(esp_cipher_id(), ESP_ENC_AES);
}

// No IV from anything predictable: when the random source fails, the
// set-up fails (whatever the cipher) and the pair in place stays.
TEST_F(EspSaTest, FailingRandomSourceFailsSetup) {
  ASSERT_EQ(Setup(ESP_ENC_AES, ESP_HASH_SHA1), 0);
  const EspRandomBytes failing = [](unsigned char*, int) { return 0; };
  const EspRandomBytes previous = esp_set_random_bytes(failing);
  const std::vector<uint8_t> block(KEY_BLOCK_LENGTH, 1);
  for (uint16_t enc : {ESP_ENC_AES256, ESP_ENC_3DES, ESP_ENC_NULL}) {
    SCOPED_TRACE(enc);
    EXPECT_EQ(esp_sa_setup(0x99, 0x98, block, enc, ESP_HASH_SHA1, inet_addr("10.1.0.2"), inet_addr("192.0.2.1")), -1);
  }
  esp_set_random_bytes(previous);
  EXPECT_TRUE(LogHas("Encap ESP new failed\n"));
  EXPECT_FALSE(find_peer_by_spi(0x99).has_value());
  EXPECT_EQ(esp_sa_state().inboundList.size(), 1u);
  EXPECT_EQ(esp_cipher_id(), ESP_ENC_AES);
  // The pair in place still carries traffic, and the source back in place
  // sets up again.
  const std::vector<uint8_t> inner = InnerPacket(40);
  EXPECT_TRUE(m_gateway->Decap(Encap(inner)).ok);
  EXPECT_EQ(
      esp_sa_setup(0x99, 0x98, block, ESP_ENC_AES256, ESP_HASH_SHA1, inet_addr("10.1.0.2"), inet_addr("192.0.2.1")), 0);
  EXPECT_NE(esp_sa_state().current.outbound->ivSource, nullptr);
  EXPECT_EQ(esp_sa_state().current.inbound->ivSource, nullptr);
}

// Senders on several threads share the outbound SA under its lock: every
// datagram has its own sequence number and its own IV, and opens.
TEST_F(EspSaTest, ConcurrentSendersNeverShareAnIv) {
  ASSERT_EQ(Setup(ESP_ENC_3DES, ESP_HASH_SHA1), 0);
  constexpr int kThreads = 4;
  constexpr int kEach = 250;
  std::vector<std::vector<std::vector<uint8_t>>> sent(kThreads);
  std::vector<std::thread> senders;
  for (int t = 0; t < kThreads; ++t) {
    senders.emplace_back([this, &sent, t] {
      for (int i = 0; i < kEach; ++i) sent[t].push_back(Encap(InnerPacket(100)));
    });
  }
  for (std::thread& sender : senders) sender.join();
  std::set<std::vector<uint8_t>> ivs;
  std::set<uint32_t> sequences;
  for (const auto& datagrams : sent) {
    for (const std::vector<uint8_t>& datagram : datagrams) {
      const vqgateway::EspDecapResult r = m_gateway->Decap(datagram);
      ASSERT_TRUE(r.ok) << r.error;
      sequences.insert(r.sequence);
      ivs.emplace(datagram.begin() + 8, datagram.begin() + 16);
    }
  }
  EXPECT_EQ(ivs.size(), size_t{kThreads * kEach});
  EXPECT_EQ(sequences.size(), size_t{kThreads * kEach});
  EXPECT_EQ(*sequences.rbegin(), uint32_t{kThreads * kEach});
}

TEST_F(EspSaTest, RekeyWhilePacketsFlow) {
  ASSERT_EQ(Setup(ESP_ENC_AES, ESP_HASH_SHA1, 0x10, 0x20), 0);
  const std::vector<uint8_t> fromGateway = m_gateway->Encap(InnerPacket(300));
  std::atomic<int> failures{0};
  std::vector<std::thread> senders;
  for (int t = 0; t < 2; ++t) {
    senders.emplace_back([&] {
      for (int i = 0; i < 300; ++i) {
        if (Encap(InnerPacket(200)).empty()) ++failures;
        Decap(fromGateway);
      }
    });
  }
  for (uint32_t round = 1; round <= 6; ++round) {
    ASSERT_EQ(esp_sa_setup(0x10 + round, 0x20 + round, MakeKeyBlock(static_cast<uint8_t>(round)), ESP_ENC_3DES,
                           ESP_HASH_SHA256, inet_addr("10.1.0.2"), inet_addr("192.0.2.1")),
              0);
    remove_aging_peer();
  }
  for (std::thread& sender : senders) sender.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
}  // namespace brindleway::esptest
