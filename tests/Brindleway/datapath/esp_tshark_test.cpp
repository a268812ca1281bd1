// Our datagrams as a third party reads them: a capture of equal ICMP echo
// requests, encapsulated by us, is opened by Wireshark's own ESP code
// (tshark, UDP port 4500) with the outbound SA's keys: every ICV checks,
// every inner packet decrypts, and the IVs it shows are all different.
// Skipped where tshark is not installed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <sstream>

#include "common/child_process.h"
#include "esp_fixture.h"
#include "ipv4_test_packets.h"

namespace brindleway::esptest {
namespace {

constexpr const char* kTshark = "/usr/bin/tshark";

std::string Hex(const uint8_t* data, size_t length) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < length; ++i) {
    out += digits[data[i] >> 4];
    out += digits[data[i] & 15];
  }
  return out;
}

void PutLe32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out += static_cast<char>(v >> (8 * i));
}

// A pcap file (link type 228, raw IPv4) of one UDP datagram per payload,
// 10.1.0.2:4500 -> 192.0.2.1:4500, UDP checksum 0.
std::string Pcap(const std::vector<std::vector<uint8_t>>& payloads) {
  std::string out;
  PutLe32(out, 0xa1b2c3d4);
  PutLe32(out, 0x00040002);  // version 2.4
  PutLe32(out, 0);
  PutLe32(out, 0);
  PutLe32(out, 65535);
  PutLe32(out, 228);
  uint32_t second = 1700000000;
  for (const std::vector<uint8_t>& payload : payloads) {
    iptest::Ipv4Fields fields;
    fields.source = "10.1.0.2";
    fields.destination = "192.0.2.1";
    fields.protocol = 17;
    fields.payload = 8 + payload.size();
    std::vector<uint8_t> packet = iptest::Ipv4(fields);
    iptest::PutBe16(packet, 20, ESP_SA_PORT);
    iptest::PutBe16(packet, 22, ESP_SA_PORT);
    iptest::PutBe16(packet, 24, static_cast<uint16_t>(8 + payload.size()));
    iptest::PutBe16(packet, 26, 0);
    std::copy(payload.begin(), payload.end(), packet.begin() + 28);
    PutLe32(out, second++);
    PutLe32(out, 0);
    PutLe32(out, static_cast<uint32_t>(packet.size()));
    PutLe32(out, static_cast<uint32_t>(packet.size()));
    out.append(packet.begin(), packet.end());
  }
  return out;
}

struct Suite {
  uint16_t enc;
  uint16_t hash;
  const char* wiresharkCipher;
  const char* wiresharkAuth;
};

void PrintTo(const Suite& s, std::ostream* os) { *os << s.wiresharkCipher << " / " << s.wiresharkAuth; }

class EspTshark : public EspFixture, public ::testing::WithParamInterface<Suite> {};

TEST_P(EspTshark, DecryptsOurDatagramsWithTheKeys) {
  if (access(kTshark, X_OK) != 0) GTEST_SKIP() << "tshark is not installed";
  const Suite s = GetParam();
  ASSERT_EQ(Setup(s.enc, s.hash), 0);
  iptest::Ipv4Fields echo;
  echo.source = "10.8.0.2";
  echo.destination = "10.8.0.1";
  echo.payload = 64;
  const std::vector<uint8_t> inner = iptest::Ipv4(echo);
  constexpr size_t kDatagrams = 6;
  std::vector<std::vector<uint8_t>> datagrams;
  for (size_t i = 0; i < kDatagrams; ++i) datagrams.push_back(Encap(inner));
  const std::string capture = m_root.At("/esp.pcap");
  vqtest::WriteFileBytes(capture, Pcap(datagrams));

  const sa_desc& out = *esp_sa_state().current.outbound;
  std::ostringstream sa;
  sa << "uat:esp_sa:\"IPv4\",\"*\",\"*\",\"0x" << std::hex << out.spi << "\",\"" << s.wiresharkCipher << "\",\"0x"
     << Hex(out.enc_key, out.enc_key_len) << "\",\"" << s.wiresharkAuth << "\",\"0x"
     << Hex(out.auth_key, out.auth_key_len) << "\"";
  const std::string result = m_root.At("/tshark.txt");
  const std::vector<std::string> argv = {
      "/bin/sh", "-c",
      std::string(kTshark) + " -n -r " + capture +
          " -o esp.enable_encryption_decode:TRUE -o esp.enable_authentication_check:TRUE -o '" + sa.str() +
          "' -T fields -E separator=';' -e esp.sequence -e esp.iv -e esp.icv_good -e ip.src -e ip.dst -e icmp.type >" +
          result + " 2>" + result + ".err"};
  ASSERT_EQ(vqtest::RunProgram(argv, 60000), 0) << vqtest::ReadFileBytes(result + ".err");

  std::istringstream lines(vqtest::ReadFileBytes(result));
  std::string line;
  std::set<std::string> ivs;
  size_t frames = 0;
  while (std::getline(lines, line)) {
    SCOPED_TRACE(line);
    std::vector<std::string> f;
    std::istringstream fields(line);
    for (std::string field; std::getline(fields, field, ';');) f.push_back(field);
    // Sequence, IV, ICV good, outer and inner addresses, ICMP type.
    ASSERT_EQ(f.size(), 6u);
    ++frames;
    EXPECT_EQ(f[0], std::to_string(frames));
    ivs.insert(f[1]);
    EXPECT_TRUE(f[2] == "1" || f[2] == "True") << "ICV";
    EXPECT_EQ(f[3], "10.1.0.2,10.8.0.2");
    EXPECT_EQ(f[4], "192.0.2.1,10.8.0.1");
    EXPECT_EQ(f[5], "8");
  }
  EXPECT_EQ(frames, kDatagrams);
  EXPECT_EQ(ivs.size(), kDatagrams);
}

INSTANTIATE_TEST_SUITE_P(
    Suites, EspTshark,
    ::testing::Values(Suite{ESP_ENC_AES, ESP_HASH_SHA1, "AES-CBC [RFC3602]", "HMAC-SHA-1-96 [RFC2404]"},
                      Suite{ESP_ENC_AES256, ESP_HASH_SHA256, "AES-CBC [RFC3602]", "HMAC-SHA-256-128 [RFC4868]"},
                      Suite{ESP_ENC_AES192, ESP_HASH_SHA384, "AES-CBC [RFC3602]", "HMAC-SHA-384-192 [RFC4868]"},
                      Suite{ESP_ENC_3DES, ESP_HASH_SHA1, "TripleDES-CBC [RFC2451]", "HMAC-SHA-1-96 [RFC2404]"},
                      Suite{ESP_ENC_DES, ESP_HASH_MD5, "DES-CBC [RFC2405]", "HMAC-MD5-96 [RFC2403]"},
                      Suite{ESP_ENC_AES, ESP_HASH_SHA512, "AES-CBC [RFC3602]", "HMAC-SHA-512-256 [RFC4868]"}),
    [](const ::testing::TestParamInfo<Suite>& info) {
      return "enc" + std::to_string(info.param.enc) + "_hash" + std::to_string(info.param.hash);
    });

}  // namespace
}  // namespace brindleway::esptest
