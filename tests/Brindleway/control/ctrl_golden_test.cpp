// The shared golden control messages pin both codecs: the client's
// CtrlMessage and the test gateway's own encoder and decoder must write and
// read exactly the bytes of tests/data/ctrl_golden/.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "Brindleway/common/protocol_version.h"
#include "Brindleway/control/ctrl_message.h"
#include "gateway/gateway_codec.h"

#include "Brindleway/protocol_version_scope.h"

namespace brindleway {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Fixture(const std::string& name) {
  std::ifstream in(std::string(VQ_TEST_DATA_DIR) + "/ctrl_golden/" + name, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct GoldenCase {
  const char* file;
  vqgw::Message message;
  // The same message with the client's writer (requests only).
  std::function<void(CtrlMessage&)> write;
};

std::vector<GoldenCase> Cases() {
  std::vector<GoldenCase> cases;
  {
    vqgw::Message m;
    m.type = vqgw::kMsgAuth;
    m.AddText(CM_PAYLOAD_USER_NAME, "alice").AddText(CM_PAYLOAD_PASSWORD, "secret").AddU16(CM_PAYLOAD_AUTH_TYPE, 1);
    cases.push_back({"auth_request.bin", m, [](CtrlMessage& c) {
                       c.WriteHeader(CTRLMSG_FLAG_REQUEST, CTRLMSG_TYPE_AUTH);
                       c.WritePayload(CM_PAYLOAD_USER_NAME, "alice", 5);
                       c.WritePayload(CM_PAYLOAD_PASSWORD, "secret", 6);
                       c.WriteU16Payload(CM_PAYLOAD_AUTH_TYPE, 1);
                     }});
  }
  {
    vqgw::Message m;
    m.type = vqgw::kMsgKeepAlive;
    m.AddU32(CM_PAYLOAD_KEEPALIVE, 1);
    cases.push_back({"keepalive_request.bin", m, [](CtrlMessage& c) {
                       c.WriteHeader(CTRLMSG_FLAG_REQUEST, CTRLMSG_TYPE_KEEPALIVE);
                       c.WriteU32Payload(CM_PAYLOAD_KEEPALIVE, 1);
                     }});
  }
  {
    vqgw::Message m;
    m.type = vqgw::kMsgSetIp;
    m.AddU32(CM_PAYLOAD_STATUS, 0)
        .AddIPv4(CM_PAYLOAD_PRIVATE_IPV4, 10, 8, 0, 2)
        .AddIPv4(CM_PAYLOAD_SERVER_PRIVATE_IPV4, 10, 8, 0, 1)
        .AddU16(CM_PAYLOAD_UDP_PORT, 4500)
        .AddIPv4(CM_PAYLOAD_NETMASK, 255, 255, 255, 0)
        .Add(CM_PAYLOAD_DNS_IPV4, {8, 8, 8, 8, 1, 1, 1, 1});
    cases.push_back({"set_ip.bin", m, nullptr});
  }
  {
    vqgw::Message m;
    m.flags = vqgw::kFlagResponse;
    m.type = vqgw::kMsgAuth;
    m.AddU32(CM_PAYLOAD_STATUS, 0xFFFFFFFE).AddText(CM_PAYLOAD_MESSAGE_EN, "Bad password").AddU32(CM_PAYLOAD_SESSION_ID, 0x01020304);
    cases.push_back({"auth_response_text.bin", m, nullptr});
  }
  return cases;
}

class CtrlGoldenTest : public ::testing::Test {
 protected:
  ProtocolVersionScope version_{0x10};
};

TEST_F(CtrlGoldenTest, GatewayCodecWritesAndReadsTheFixtures) {
  for (const GoldenCase& c : Cases()) {
    SCOPED_TRACE(c.file);
    const Bytes golden = Fixture(c.file);
    ASSERT_FALSE(golden.empty());
    EXPECT_EQ(vqgw::Encode(c.message), golden);
    const auto decoded = vqgw::Decode(golden);
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(decoded->version, c.message.version);
    EXPECT_EQ(decoded->flags, c.message.flags);
    EXPECT_EQ(decoded->type, c.message.type);
    ASSERT_EQ(decoded->payloads.size(), c.message.payloads.size());
    for (size_t i = 0; i < decoded->payloads.size(); ++i) {
      EXPECT_EQ(decoded->payloads[i].type, c.message.payloads[i].type);
      EXPECT_EQ(decoded->payloads[i].value, c.message.payloads[i].value);
    }
  }
}

TEST_F(CtrlGoldenTest, ClientCodecWritesAndReadsTheFixtures) {
  for (const GoldenCase& c : Cases()) {
    SCOPED_TRACE(c.file);
    const Bytes golden = Fixture(c.file);
    if (c.write) {
      CtrlMessage written;
      c.write(written);
      EXPECT_EQ(Bytes(written.Data(), written.Data() + written.Size()), golden);
    }
    CtrlMessage parsed;
    ASSERT_EQ(parsed.Load(golden.data(), golden.size()), 0);
    ASSERT_EQ(parsed.Parse(), 0);
    EXPECT_EQ(parsed.GetFlags(), c.message.flags);
    EXPECT_EQ(parsed.GetType(), c.message.type);
    for (const vqgw::Payload& p : c.message.payloads) {
      const uint8_t* value = nullptr;
      uint16_t length = 0;
      ASSERT_EQ(parsed.GetPayload(p.type, value, length), 0) << p.type;
      EXPECT_EQ(Bytes(value, value + length), p.value) << p.type;
    }
  }
}

TEST(GatewayCodecTest, DecoderRefusesWhatIsNotExactlyOneMessage) {
  const Bytes golden = Fixture("keepalive_request.bin");
  Bytes longer = golden;
  longer.push_back(0);
  Bytes badPadding = Fixture("auth_request.bin");
  badPadding[17] = 1;  // a padding byte after "alice"
  Bytes overrun = golden;
  overrun[11] = 5;  // value length past the end
  for (const Bytes& bad : {Bytes(golden.begin(), golden.end() - 1), longer, badPadding, overrun}) {
    EXPECT_FALSE(vqgw::Decode(bad).has_value());
  }
}

TEST(GatewayCodecTest, StreamReaderCutsSplitAndCoalescedBytes) {
  const Bytes a = Fixture("set_ip.bin");
  const Bytes b = Fixture("keepalive_request.bin");
  Bytes stream = a;
  stream.insert(stream.end(), b.begin(), b.end());
  vqgw::StreamReader reader;
  reader.Feed(std::span<const uint8_t>(stream.data(), 5));
  EXPECT_FALSE(reader.Next().has_value());
  reader.Feed(std::span<const uint8_t>(stream.data() + 5, stream.size() - 5));
  EXPECT_EQ(reader.Next(), a);
  EXPECT_EQ(reader.Next(), b);
  EXPECT_FALSE(reader.Next().has_value());

  const Bytes tooShort = {0x10, 0, 0, 9, 0, 0, 0, 7};
  reader.Feed(tooShort);
  EXPECT_FALSE(reader.Next().has_value());
  EXPECT_TRUE(reader.Broken());
}

}  // namespace
}  // namespace brindleway
