// Tunnel control packets: the bytes of our keep-alives and logout (golden,
// with every checksum recomputed here), and the receiver's verdict on the
// gateway's packets, built by the test gateway's own code.
#include "Brindleway/datapath/tunnel_packets.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <utility>
#include <vector>

#include "Brindleway/common/constants.h"
#include "Brindleway/protocol_version_scope.h"
#include "common/temp_root.h"
#include "gateway/udp_data_plane.h"
#include "ipv4_test_packets.h"
#include "platform/sync/clock.h"
#include "Brindleway/post_recorder.h"
#include "support/log.h"

namespace brindleway {
namespace {

using iptest::ChecksumOk;
using iptest::OnesSum;

// The identification bytes 34 12 (process id 0x1234, low byte first).
uint16_t Ident() {
  const uint8_t bytes[2] = {0x34, 0x12};
  uint16_t ident = 0;
  std::memcpy(&ident, bytes, 2);
  return ident;
}

const std::vector<uint8_t> kKeepAlive44 = {0x45, 0x00, 0x00, 0x2c, 0x34, 0x12, 0x00, 0x00, 0x20, 0x01, 0x66,
                                           0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x08, 0x00,
                                           0xc3, 0xed, 0x34, 0x12, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                           0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
const std::vector<uint8_t> kKeepAlive32 = {0x45, 0x00, 0x00, 0x20, 0x34, 0x12, 0x00, 0x00, 0x20, 0x01, 0x66,
                                           0xcc, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x08, 0x00,
                                           0xc3, 0xed, 0x34, 0x12, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
const std::vector<uint8_t> kLogout = {0x45, 0x00, 0x00, 0x20, 0x34, 0x12, 0x00, 0x00, 0x20, 0x11, 0x66,
                                      0xbc, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                      0x00, 0x00, 0x00, 0x0c, 0xff, 0xd4, 0x00, 0x00, 0x00, 0x02};

TEST(TunnelPacketsTest, KeepAliveGoldenBytesByGatewayVersion) {
  const struct {
    uint8_t version;
    const std::vector<uint8_t>* expected;
  } cases[] = {{0x10, &kKeepAlive32}, {0x20, &kKeepAlive32}, {0x21, &kKeepAlive44},
               {0x22, &kKeepAlive44}, {0x30, &kKeepAlive44}, {0xA0, &kKeepAlive44}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.version);
    std::array<uint8_t, 64> buffer{};
    uint32_t length = buffer.size();
    ASSERT_EQ(build_keepalive(buffer.data(), length, c.version, Ident()), 0);
    const std::vector<uint8_t> bytes(buffer.begin(), buffer.begin() + length);
    EXPECT_EQ(bytes, *c.expected);
    EXPECT_TRUE(ChecksumOk(bytes.data(), 20));
    EXPECT_TRUE(ChecksumOk(bytes.data() + 20, bytes.size() - 20));
  }
}

TEST(TunnelPacketsTest, LogoutGoldenBytesWithUdpChecksumOverZeroAddresses) {
  std::array<uint8_t, 32> buffer{};
  uint32_t length = buffer.size();
  ASSERT_EQ(build_disconnect_udp(buffer.data(), length, Ident()), 0);
  const std::vector<uint8_t> bytes(buffer.begin(), buffer.begin() + length);
  EXPECT_EQ(bytes, kLogout);
  EXPECT_TRUE(ChecksumOk(bytes.data(), 20));
  // Pseudo-header: 0.0.0.0, 0.0.0.0, 0, 17, UDP length 12.
  const uint32_t pseudo = 17 + 12;
  EXPECT_EQ(OnesSum({bytes.data() + 20, 12}, pseudo), 0xFFFF);
}

TEST(TunnelPacketsTest, BuildersRefuseShortRoomAndUseTheProcessId) {
  std::array<uint8_t, 64> buffer{};
  uint32_t length = 43;
  EXPECT_EQ(build_keepalive(buffer.data(), length, 0x21, Ident()), -1);
  EXPECT_EQ(length, 43u);
  length = 31;
  EXPECT_EQ(build_keepalive(buffer.data(), length, 0x20, Ident()), -1);
  EXPECT_EQ(build_disconnect_udp(buffer.data(), length, Ident()), -1);
  EXPECT_EQ(length, 31u);

  ProtocolVersionScope version(0x21);
  length = buffer.size();
  ASSERT_EQ(build_keepalive(buffer.data(), length), 0);
  EXPECT_EQ(length, 44u);
  const auto pid = static_cast<uint32_t>(getpid());
  EXPECT_EQ(buffer[4], static_cast<uint8_t>(pid));
  EXPECT_EQ(buffer[5], static_cast<uint8_t>(pid >> 8));
  EXPECT_EQ(buffer[24], static_cast<uint8_t>(pid));
  EXPECT_EQ(buffer[25], static_cast<uint8_t>(pid >> 8));
  EXPECT_TRUE(ChecksumOk(buffer.data(), 20));
  EXPECT_TRUE(ChecksumOk(buffer.data() + 20, 24));
}

TEST(TunnelPacketsTest, ChecksumsMatchAnIndependentSum) {
  // RFC 1071's example words, and an odd-length UDP body.
  const uint8_t words[] = {0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7};
  uint16_t stored = ip_checksum(words, 4);
  uint8_t field[2];
  std::memcpy(field, &stored, 2);
  EXPECT_EQ((field[0] << 8) | field[1], static_cast<uint16_t>(~OnesSum({words, 8})));
  // All-ones data sums to 0xFFFF: the complement 0 is given as 0xFFFF.
  const uint8_t ones[] = {0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(ip_checksum(ones, 2), 0xFFFF);

  const uint8_t udp[] = {0x12, 0x34, 0x00, 0x35, 0x00, 0x09, 0x00, 0x00, 0xAB};
  const uint32_t src = inet_addr("10.1.0.5");
  const uint32_t dst = inet_addr("10.1.0.1");
  const uint16_t sum = udp_checksum(src, dst, udp, sizeof udp);
  std::vector<uint8_t> whole(udp, udp + sizeof udp);
  whole[6] = static_cast<uint8_t>(sum >> 8);
  whole[7] = static_cast<uint8_t>(sum);
  const uint32_t pseudo = 0x0A01 + 0x0005 + 0x0A01 + 0x0001 + 17 + sizeof udp;
  EXPECT_EQ(OnesSum(whole, pseudo), 0xFFFF);
}

class ClassifyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LogInit(nullptr);
    ctx_.clock = &clock_;
    ctx_.post = posts_.Callback();
    clock_.Advance(100000);
  }
  std::vector<std::pair<uint32_t, uint32_t>> Posts() const { return posts_.Posts(); }
  int Classify(const std::vector<uint8_t>& packet) {
    return classify_tunnel_packet(packet.data(), packet.size(), ctx_);
  }

  vqtest::TempRoot root_;
  platform::FakeClock clock_;
  DataPathContext ctx_;
  PostRecorder posts_;
};

TEST_F(ClassifyTest, KeepAliveDigestTriggersHostCheckFrom21AsText) {
  std::array<uint8_t, 16> digest{};
  for (size_t i = 0; i < digest.size(); ++i) digest[i] = static_cast<uint8_t>(0xA0 + i);
  const struct {
    uint8_t version;
    bool hostCheck;
  } cases[] = {{0x20, false}, {0x21, true}, {0x22, true}, {0x30, true}, {0xA0, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.version);
    ProtocolVersionScope version(c.version);
    posts_.Clear();
    ctx_.hostCheckDigest.Set({});
    ctx_.lastTrafficMs = 0;
    EXPECT_EQ(Classify(vqgateway::GatewayKeepAlive(c.version, digest)), 1);
    EXPECT_EQ(ctx_.lastTrafficMs.load(), clock_.NowMs());
    if (c.hostCheck) {
      EXPECT_EQ(Posts(), (std::vector<std::pair<uint32_t, uint32_t>>{{WM_CHANNEL_HOST_CHECK, 1}}));
      EXPECT_EQ(ctx_.hostCheckDigest.Get(), digest);
    } else {
      EXPECT_TRUE(Posts().empty());
      EXPECT_EQ(ctx_.hostCheckDigest.Get(), HostCheckDigestSlot::Digest{});
    }
  }
}

TEST_F(ClassifyTest, ShortKeepAliveFromA21GatewayCarriesNoDigest) {
  ProtocolVersionScope version(0x21);
  // The 32-byte form: its bytes 28..31 are all the packet holds.
  std::vector<uint8_t> packet = vqgateway::GatewayKeepAlive(0x20, {});
  EXPECT_EQ(Classify(packet), 1);
  EXPECT_EQ(ctx_.lastTrafficMs.load(), clock_.NowMs());
  EXPECT_TRUE(Posts().empty());
}

TEST_F(ClassifyTest, DisconnectNoticeReasonsMapToEventCodes) {
  const struct {
    uint32_t reason;
    int code;
  } cases[] = {{1, 76}, {2, 77}, {3, 78}, {4, 79}, {5, 80}, {6, 76}, {7, 76}, {8, 76}, {9, 1002}, {10, -1}, {0, -1}};
  ProtocolVersionScope version(0x20);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    posts_.Clear();
    EXPECT_EQ(Classify(vqgateway::GatewayDisconnectNotice(c.reason)), 1);
    EXPECT_EQ(Posts(), (std::vector<std::pair<uint32_t, uint32_t>>{{WM_CHANNEL_ERROR, static_cast<uint32_t>(c.code)}}));
  }
}

TEST_F(ClassifyTest, OtherPacketsGoToTheAdapterOrAreDropped) {
  ProtocolVersionScope version(0x20);
  iptest::Ipv4Fields zeros{.source = "0.0.0.0", .destination = "0.0.0.0", .protocol = 17, .payload = 16};
  std::vector<uint8_t> dns = iptest::Ipv4(zeros);
  iptest::PutBe16(dns, 20, 53);
  iptest::PutBe16(dns, 22, 53);
  zeros.protocol = 47;
  const std::vector<uint8_t> gre = iptest::Ipv4(zeros);
  std::vector<uint8_t> noReason = vqgateway::GatewayDisconnectNotice(1);
  noReason.resize(32);
  std::vector<uint8_t> logout = kLogout;
  const std::vector<uint8_t> traffic = iptest::Ipv4({});
  const std::vector<uint8_t> runt(19, 0);
  const struct {
    const char* name;
    const std::vector<uint8_t>* packet;
    int verdict;
    bool movesTick;
  } cases[] = {
      {"traffic", &traffic, 0, true},
      {"udp 53 between zeros", &dns, 0, false},
      {"notice without a reason field", &noReason, 0, false},
      {"our own logout value", &logout, 0, false},
      {"gre between zeros", &gre, 1, false},
      {"shorter than a header", &runt, 1, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ctx_.lastTrafficMs = 0;
    EXPECT_EQ(Classify(*c.packet), c.verdict);
    EXPECT_EQ(ctx_.lastTrafficMs.load(), c.movesTick ? clock_.NowMs() : 0);
  }
  EXPECT_TRUE(Posts().empty());
}

}  // namespace
}  // namespace brindleway
