// Shared set-up of the security-association and packet tests: a fresh
// root and log, the packet pool, a fixed key block, and the gateway's
// independent end of the same key exchange.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Brindleway/common/constants.h"
#include "Brindleway/common/debug_trace.h"
#include "Brindleway/datapath/esp_packet.h"
#include "Brindleway/datapath/esp_sa.h"
#include "Brindleway/datapath/packet_buffer_pool.h"
#include "common/log_reader.h"
#include "common/temp_root.h"
#include "gateway/esp_peer.h"
#include "support/log.h"

namespace brindleway::esptest {

inline constexpr uint32_t kOwnSpi = 0x00001001;
inline constexpr uint32_t kGatewaySpi = 0x80002002;

inline std::array<uint8_t, KEY_BLOCK_LENGTH> MakeKeyBlock(uint8_t salt) {
  std::array<uint8_t, KEY_BLOCK_LENGTH> block{};
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 7 + salt);
  return block;
}

inline std::vector<uint8_t> InnerPacket(size_t length, uint8_t seed = 0x45) {
  std::vector<uint8_t> packet(length);
  for (size_t i = 0; i < length; ++i) packet[i] = static_cast<uint8_t>(seed + i * 13);
  return packet;
}

class EspFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    LogInit(nullptr);
    m_pool = std::make_unique<PacketBufferPool>();
    ASSERT_EQ(m_pool->Result(), 0);
    esp_sa_cleanup();
  }
  void TearDown() override {
    esp_sa_cleanup();
    g_dwDebugTraceMask = 0;
    m_pool.reset();
  }

  // Our SA pair and the gateway's matching end.
  int Setup(uint16_t enc, uint16_t hash, uint32_t ownSpi = kOwnSpi, uint32_t gatewaySpi = kGatewaySpi,
            uint8_t salt = 3) {
    m_keyBlock = MakeKeyBlock(salt);
    vqgateway::EspPeerConfig config;
    config.encryptionId = enc;
    config.hashId = hash;
    config.gatewaySpi = gatewaySpi;
    config.clientSpi = ownSpi;
    config.keyBlock = m_keyBlock;
    m_gateway = std::make_unique<vqgateway::EspPeer>(config);
    return esp_sa_setup(ownSpi, gatewaySpi, m_keyBlock, enc, hash, inet_addr("10.1.0.2"), inet_addr("192.0.2.1"));
  }

  static BufDescPtr Packet(const std::vector<uint8_t>& bytes) {
    BufDescPtr desc = buf_desc_alloc(1);
    EXPECT_NE(desc, nullptr);
    if (desc == nullptr) return desc;
    if (!bytes.empty()) std::memcpy(desc->pData, bytes.data(), bytes.size());
    desc->dwLength = static_cast<uint32_t>(bytes.size());
    return desc;
  }
  static std::vector<uint8_t> Bytes(const buf_desc* desc) {
    return std::vector<uint8_t>(desc->pData, desc->pData + desc->dwLength);
  }

  // Encapsulated by us: the datagram's bytes (empty on failure).
  std::vector<uint8_t> Encap(const std::vector<uint8_t>& inner) {
    BufDescPtr desc = Packet(inner);
    if (desc == nullptr || esp_encap(desc.get()) != 0) return {};
    return Bytes(desc.get());
  }

  // Decapsulated by us from an exact-size copy, so a read past the
  // datagram is caught by the address sanitizer. False when dropped; then
  // the descriptor must be as it was.
  bool Decap(const std::vector<uint8_t>& datagram, std::vector<uint8_t>* inner = nullptr) {
    std::unique_ptr<uint8_t[]> exact(new uint8_t[datagram.size() + (datagram.empty() ? 1 : 0)]);
    if (!datagram.empty()) std::memcpy(exact.get(), datagram.data(), datagram.size());
    buf_desc desc;
    desc.pData = exact.get();
    desc.dwLength = static_cast<uint32_t>(datagram.size());
    if (esp_decap(&desc) != 0) {
      EXPECT_EQ(desc.pData, exact.get());
      EXPECT_EQ(desc.dwLength, datagram.size());
      return false;
    }
    if (inner != nullptr) *inner = Bytes(&desc);
    return true;
  }

  // Line ends are CR LF in the log file.
  static bool LogHas(const std::string& text) {
    std::string lines;
    for (char ch : text) lines += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
    return vqtest::ReadLogText().find(lines) != std::string::npos;
  }

  vqtest::TempRoot m_root;
  std::unique_ptr<PacketBufferPool> m_pool;
  std::array<uint8_t, KEY_BLOCK_LENGTH> m_keyBlock{};
  std::unique_ptr<vqgateway::EspPeer> m_gateway;
};

}  // namespace brindleway::esptest
