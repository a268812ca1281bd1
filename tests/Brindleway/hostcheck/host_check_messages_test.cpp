// The host check's messages to the gateway, read back with the gateway's
// own codec: the digest answer on the control channel and on a connection
// of its own, and the result cut into pieces of at most 512 bytes.
#include "Brindleway/hostcheck/host_check_messages.h"

#include <gtest/gtest.h>

#include <string>

#include "Brindleway/protocol_version_scope.h"
#include "gateway/gateway_codec.h"
#include "gateway/host_check_exchange.h"

namespace brindleway {
namespace {

vqgw::Message Decoded(const WireBytes& bytes) {
  const std::optional<vqgw::Message> message = vqgw::Decode(bytes);
  EXPECT_TRUE(message.has_value());
  return message.value_or(vqgw::Message{});
}

std::vector<uint16_t> Types(const vqgw::Message& m) {
  std::vector<uint16_t> types;
  for (const vqgw::Payload& p : m.payloads) types.push_back(p.type);
  return types;
}

TEST(HostCheckMessages, DigestAnswerOnTheChannelAndOnAConnectionOfItsOwn) {
  ProtocolVersionScope version(0x10);
  const vqgw::Message channel = Decoded(*BuildDigestAnswer(1, false, 0x0A0B0C0D));
  EXPECT_EQ(channel.type, vqgw::kMsgHostCheck);
  EXPECT_EQ(channel.flags, 0);
  EXPECT_EQ(Types(channel), (std::vector<uint16_t>{112}));
  EXPECT_EQ(channel.U32(112), 1u);

  const vqgw::Message own = Decoded(*BuildDigestAnswer(0, true, 0x0A0B0C0D));
  EXPECT_EQ(own.type, vqgw::kMsgHostCheckLink);
  EXPECT_EQ(Types(own), (std::vector<uint16_t>{51, 112}));
  EXPECT_EQ(own.U32(51), 0x0A0B0C0Du);
  EXPECT_EQ(own.U32(112), 0u);
}

TEST(HostCheckMessages, ResultPiecesOfAtMost512Bytes) {
  ProtocolVersionScope version(0x10);
  const struct {
    size_t length;
    std::vector<size_t> pieces;
  } cases[] = {{0, {0}}, {1, {1}}, {512, {512}}, {513, {512, 1}}, {1025, {512, 512, 1}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.length);
    std::string result;
    for (size_t i = 0; i < c.length; ++i) result += static_cast<char>('a' + i % 26);
    const std::optional<std::vector<WireBytes>> messages = BuildCheckResultMessages(result);
    ASSERT_TRUE(messages.has_value());
    ASSERT_EQ(messages->size(), c.pieces.size());
    std::string joined;
    for (size_t i = 0; i < messages->size(); ++i) {
      const vqgw::Message m = Decoded((*messages)[i]);
      EXPECT_EQ(m.type, vqgw::kMsgHostCheck);
      const std::vector<uint16_t> expected =
          i == 0 ? (c.length == 0 ? std::vector<uint16_t>{116} : std::vector<uint16_t>{116, 115})
                 : std::vector<uint16_t>{115};
      EXPECT_EQ(Types(m), expected);
      if (i == 0) {
        EXPECT_EQ(m.U32(116), c.length);
      }
      if (const vqgw::Payload* piece = m.Find(115)) {
        EXPECT_EQ(piece->value.size(), c.pieces[i]);
        joined.append(piece->value.begin(), piece->value.end());
      }
    }
    EXPECT_EQ(joined, result);
  }
}

}  // namespace
}  // namespace brindleway
