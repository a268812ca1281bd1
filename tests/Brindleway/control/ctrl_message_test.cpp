// Control messages: the bytes the writer puts on the wire, the version and
// length rules of the parser, and what the getters find.
#include "Brindleway/control/ctrl_message.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "Brindleway/common/protocol_version.h"
#include "common/log_reader.h"
#include "common/temp_root.h"
#include "support/log.h"

#include "Brindleway/protocol_version_scope.h"

namespace brindleway {
namespace {

using Bytes = std::vector<uint8_t>;

std::string Hex(const uint8_t* p, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    if (i > 0) out += ' ';
    out += digits[p[i] >> 4];
    out += digits[p[i] & 0xF];
  }
  return out;
}

struct Payload {
  uint16_t type;
  Bytes value;
};

void PutBE(Bytes& out, uint32_t v, int width) {
  for (int i = width - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// Lays a message out by hand, independently of the writer. total overrides
// the header's length field when nonzero.
Bytes RawMessage(uint8_t version, uint8_t flags, uint16_t type, const std::vector<Payload>& payloads,
                 uint32_t total = 0) {
  Bytes body;
  for (const Payload& p : payloads) {
    PutBE(body, p.type, 2);
    PutBE(body, static_cast<uint32_t>(p.value.size()), 2);
    body.insert(body.end(), p.value.begin(), p.value.end());
    while (body.size() % 4 != 0) body.push_back(0);
  }
  Bytes out{version, flags};
  PutBE(out, type, 2);
  PutBE(out, total != 0 ? total : static_cast<uint32_t>(8 + body.size()), 4);
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

// Each test starts from a known version and gives the process-wide one back.
class CtrlMessageTest : public ::testing::Test {
 protected:
  void SetUp() override { LogInit(nullptr); }

  static int LoadAndParse(CtrlMessage& msg, const Bytes& bytes) {
    const int loaded = msg.Load(bytes.data(), bytes.size());
    return loaded != 0 ? loaded : msg.Parse();
  }
  static bool Logged(const std::string& text) { return vqtest::ReadLogText().find(text) != std::string::npos; }

  vqtest::TempRoot m_root;
  ProtocolVersionScope m_version{0x10};
};

TEST_F(CtrlMessageTest, WriterGoldenBytesWithPadding) {
  CtrlMessage msg;
  ASSERT_TRUE(msg.HasBuffer());
  ASSERT_EQ(msg.WriteHeader(CTRLMSG_FLAG_REQUEST, CTRLMSG_TYPE_AUTH), 0);
  ASSERT_EQ(msg.WritePayload(CM_PAYLOAD_USER_NAME, "alice", 5), 0);
  ASSERT_EQ(msg.WriteU16Payload(CM_PAYLOAD_AUTH_TYPE, 1), 0);
  ASSERT_EQ(msg.WriteU32Payload(CM_PAYLOAD_STATUS, static_cast<uint32_t>(-11)), 0);
  const uint8_t addr[4] = {10, 0, 0, 1};
  uint32_t dwAddr;
  std::memcpy(&dwAddr, addr, 4);
  ASSERT_EQ(msg.WriteAddrPayload(CM_PAYLOAD_CLIENT_IPV4, dwAddr), 0);
  ASSERT_EQ(msg.WritePayload(CM_PAYLOAD_PRODUCT_VER, "", 0), 0);
  EXPECT_EQ(Hex(msg.Data(), msg.Size()),
            "10 00 00 01 00 00 00 30 "
            "00 01 00 05 61 6c 69 63 65 00 00 00 "
            "00 51 00 02 00 01 00 00 "
            "00 04 00 04 ff ff ff f5 "
            "00 05 00 04 0a 00 00 01 "
            "00 54 00 00");
  EXPECT_EQ(msg.GetLength(), 0x30u);
}

TEST_F(CtrlMessageTest, WriterGrowsAndKeepsEarlierBytes) {
  CtrlMessage msg;
  ASSERT_EQ(msg.WriteHeader(0, CTRLMSG_TYPE_CLIENT_INFO), 0);
  std::vector<Payload> expected;
  for (int i = 0; i < 5; ++i) {
    Bytes value(100, static_cast<uint8_t>(0xA0 + i));
    ASSERT_EQ(msg.WritePayload(static_cast<uint16_t>(53 + i), value.data(), value.size()), 0);
    expected.push_back({static_cast<uint16_t>(53 + i), value});
    EXPECT_EQ(msg.Capacity(), i < 4 ? 512u : 1024u) << "after payload " << i + 1;
  }
  EXPECT_EQ(Bytes(msg.Data(), msg.Data() + msg.Size()), RawMessage(0x10, 0, 2, expected));

  // One value bigger than twice the capacity still fits in a single write.
  Bytes big(3000, 0x5A);
  ASSERT_EQ(msg.WritePayload(CM_PAYLOAD_HOST_CHECK_DATA, big.data(), big.size()), 0);
  EXPECT_EQ(msg.Capacity(), 4096u);
  expected.push_back({CM_PAYLOAD_HOST_CHECK_DATA, big});
  EXPECT_EQ(Bytes(msg.Data(), msg.Data() + msg.Size()), RawMessage(0x10, 0, 2, expected));
}

TEST_F(CtrlMessageTest, WriterRefusesValuesThatTheLengthFieldCannotHold) {
  CtrlMessage msg;
  ASSERT_EQ(msg.WriteHeader(0, CTRLMSG_TYPE_HOST_CHECK), 0);
  Bytes value(65536, 1);
  EXPECT_EQ(msg.WritePayload(CM_PAYLOAD_HOST_CHECK_DATA, value.data(), value.size()), -1);
  EXPECT_EQ(msg.Size(), 8u);
  EXPECT_EQ(msg.GetLength(), 8u);

  ASSERT_EQ(msg.WritePayload(CM_PAYLOAD_HOST_CHECK_DATA, value.data(), 65535), 0);
  EXPECT_EQ(msg.GetLength(), 8u + 4 + 65536);
  EXPECT_EQ(Hex(msg.Data() + 8, 4), "00 72 ff ff");
}

TEST_F(CtrlMessageTest, RoundTripThroughTheParser) {
  CtrlMessage out;
  out.WriteHeader(CTRLMSG_FLAG_RESPONSE, CTRLMSG_TYPE_SET_IP);
  out.WriteU32Payload(CM_PAYLOAD_STATUS, static_cast<uint32_t>(-13));
  out.WriteU16Payload(CM_PAYLOAD_UDP_PORT, 4500);
  out.WriteAddrPayload(CM_PAYLOAD_PRIVATE_IPV4, 0x0100000A);
  out.WritePayload(CM_PAYLOAD_MESSAGE_EN, "IP Used", 7);

  CtrlMessage in;
  ASSERT_EQ(in.Load(out.Data(), out.Size()), 0);
  ASSERT_EQ(in.Parse(), 0);
  EXPECT_EQ(in.GetVersion(), 0x10);
  EXPECT_EQ(in.GetFlags(), CTRLMSG_FLAG_RESPONSE);
  EXPECT_EQ(in.GetType(), CTRLMSG_TYPE_SET_IP);
  uint32_t dwStatus = 0;
  ASSERT_EQ(in.GetU32(CM_PAYLOAD_STATUS, dwStatus), 0);
  EXPECT_EQ(static_cast<int32_t>(dwStatus), -13);
  uint16_t wPort = 0;
  ASSERT_EQ(in.GetU16(CM_PAYLOAD_UDP_PORT, wPort), 0);
  EXPECT_EQ(wPort, 4500);
  uint32_t dwAddr = 0;
  ASSERT_EQ(in.GetAddress(CM_PAYLOAD_PRIVATE_IPV4, dwAddr), 0);
  EXPECT_EQ(dwAddr, 0x0100000Au);
  const uint8_t* pText = nullptr;
  uint16_t wLength = 0;
  ASSERT_EQ(in.GetPayload(CM_PAYLOAD_MESSAGE_EN, pText, wLength), 0);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(pText), wLength), "IP Used");
  EXPECT_NE(in.GetPayload(CM_PAYLOAD_MESSAGE_CN, pText, wLength), 0);
}

TEST_F(CtrlMessageTest, VersionRules) {
  struct Case {
    const char* name;
    uint8_t current;
    uint8_t version;
    uint16_t type;
    int result;
    uint8_t after;
  };
  const Case cases[] = {
      {"login response from a newer minor gateway", 0x10, 0x21, CTRLMSG_TYPE_AUTH, 0, 0x21},
      {"first login at start", 0x00, 0x10, CTRLMSG_TYPE_AUTH, 0, 0x10},
      {"login response back to major 1", 0x21, 0x10, CTRLMSG_TYPE_AUTH, 0, 0x10},
      {"SET_IP with another major", 0x10, 0x21, CTRLMSG_TYPE_SET_IP, 4010, 0x10},
      {"login response from major 3", 0x10, 0x30, CTRLMSG_TYPE_AUTH, 1003, 0x10},
      {"same major, other minor", 0x10, 0x12, CTRLMSG_TYPE_SET_IP, 0, 0x10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    g_btProtocolVersion = c.current;
    CtrlMessage msg;
    EXPECT_EQ(LoadAndParse(msg, RawMessage(c.version, CTRLMSG_FLAG_RESPONSE, c.type, {{4, {0, 0, 0, 0}}})),
              c.result);
    EXPECT_EQ(g_btProtocolVersion.load(), c.after);
  }
  EXPECT_TRUE(Logged("Header version error 33"));
}

TEST_F(CtrlMessageTest, LengthRules) {
  const Bytes one = RawMessage(0x10, 0, 3, {{4, {1, 2, 3, 4}}});  // 16 bytes
  struct Case {
    const char* name;
    Bytes bytes;
    int result;
    const char* logged;
  };
  Bytes sevenBytes(one.begin(), one.begin() + 7);
  Bytes overrun = RawMessage(0x10, 0, 3, {{4, {1, 2, 3}}}, 15);
  overrun.resize(15);
  Bytes leftover = RawMessage(0x10, 0, 3, {{4, {1, 2, 3, 4}}}, 18);
  leftover.resize(18);
  Bytes shortFirst = RawMessage(0x10, 0, 3, {}, 11);
  shortFirst.resize(11);
  Bytes trailing = one;
  trailing.insert(trailing.end(), {0xEE, 0xEE, 0xEE, 0xEE});
  std::vector<Payload> many(600, Payload{CM_PAYLOAD_DNS_IPV4, {8, 8, 8, 8}});
  many.back().type = CM_PAYLOAD_WINS_IPV4;
  std::vector<Payload> tooMany(601, Payload{CM_PAYLOAD_DNS_IPV4, {8, 8, 8, 8}});

  const Case cases[] = {
      {"7 bytes handed in", sevenBytes, 75, "Header length error 7"},
      {"length 7", RawMessage(0x10, 0, 3, {}, 7), 75, "Header length error 7"},
      {"length 8, no payload", RawMessage(0x10, 0, 3, {}), 75, "Payload do not match message length"},
      {"length more than received", RawMessage(0x10, 0, 3, {{4, {1, 2, 3, 4}}}, 20), 75, "Header length error 20"},
      {"payload overruns the length by 1", overrun, 75, "Payload do not match message length"},
      {"2 bytes left over", leftover, 75, "Leftover length not enough for a header."},
      {"3 bytes after the header", shortFirst, 75, "Leftover length not enough for a header."},
      {"bytes after the message are not read", trailing, 0, ""},
      {"600 payloads", RawMessage(0x10, 0, 3, many), 0, ""},
      {"601 payloads", RawMessage(0x10, 0, 3, tooMany), 75, "Payload do not match message length"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    vqtest::TempRoot root;
    CtrlMessage msg;
    EXPECT_EQ(LoadAndParse(msg, c.bytes), c.result);
    if (*c.logged) {
      EXPECT_TRUE(Logged(c.logged)) << vqtest::ReadLogText();
    }
    if (c.result != 0) {
      // A failed parse leaves nothing to find.
      uint32_t v = 0;
      EXPECT_NE(msg.GetU32(4, v), 0);
      EXPECT_NE(msg.GetAddress(CM_PAYLOAD_DNS_IPV4, v), 0);
    }
  }

  // The last of 600 payloads is still within reach of the getters.
  CtrlMessage msg;
  ASSERT_EQ(LoadAndParse(msg, RawMessage(0x10, 0, 3, many)), 0);
  uint32_t dwWins = 0;
  EXPECT_EQ(msg.GetAddress(CM_PAYLOAD_WINS_IPV4, dwWins), 0);
}

TEST_F(CtrlMessageTest, StaleBytesOfAnEarlierLoadAreNeverParsed) {
  CtrlMessage msg;
  const Bytes longer = RawMessage(0x10, 0, 3, {{4, {1, 2, 3, 4}}, {7, {10, 0, 0, 2}}, {8, {10, 0, 0, 1}}});
  ASSERT_EQ(LoadAndParse(msg, longer), 0);
  // A short message whose header claims the earlier length: the rest of
  // the buffer still holds the earlier payloads.
  Bytes shorter = RawMessage(0x10, 0, 3, {{4, {0, 0, 0, 0}}}, static_cast<uint32_t>(longer.size()));
  ASSERT_LT(shorter.size(), longer.size());
  EXPECT_EQ(LoadAndParse(msg, shorter), 75);
  uint32_t dwAddr = 0;
  EXPECT_NE(msg.GetAddress(7, dwAddr), 0);
}

TEST_F(CtrlMessageTest, LoadGrowsToTheMessageAndRefusesWhatNoMessageCanBe) {
  CtrlMessage msg;
  Bytes value(990, 0x11);
  const Bytes big = RawMessage(0x10, 0, 3, {{CM_PAYLOAD_HOST_CHECK_DATA, value}, {4, {0, 0, 0, 1}}});
  Bytes odd = big;
  odd.push_back(0);  // 1013 bytes: the buffer grows to a multiple of 4
  ASSERT_EQ(msg.Load(odd.data(), odd.size()), 0);
  EXPECT_EQ(msg.Capacity(), 1016u);
  ASSERT_EQ(msg.Parse(), 0);
  uint32_t dwStatus = 0;
  EXPECT_EQ(msg.GetU32(4, dwStatus), 0);
  EXPECT_EQ(dwStatus, 1u);

  Bytes huge(65537, 0);
  EXPECT_EQ(msg.Load(huge.data(), huge.size()), 61);
  EXPECT_TRUE(Logged("Realloc memory failed"));
}

TEST_F(CtrlMessageTest, UnknownPayloadTypeFailsOnlyInAResponse) {
  const std::vector<Payload> payloads{{4, {0, 0, 0, 0}}, {90, {1, 2}}};
  CtrlMessage response;
  EXPECT_EQ(LoadAndParse(response, RawMessage(0x10, CTRLMSG_FLAG_RESPONSE, 3, payloads)), 86);
  EXPECT_TRUE(Logged("Don't Understand Payload Type :90 !"));

  CtrlMessage request;
  ASSERT_EQ(LoadAndParse(request, RawMessage(0x10, 0, 3, payloads)), 0);
  const uint8_t* pValue = nullptr;
  uint16_t wLength = 0;
  ASSERT_EQ(request.GetPayload(90, pValue, wLength), 0);
  EXPECT_EQ(wLength, 2);
  EXPECT_EQ(pValue[1], 2);
}

TEST_F(CtrlMessageTest, PayloadTypesAResponseMayCarry) {
  std::vector<int> known;
  for (int t = 1; t <= 21; ++t) known.push_back(t);
  for (int t : {32, 48, 49, 50, 51, 53, 54, 64, 81, 82, 83, 84, 96, 97}) known.push_back(t);
  for (int t = 112; t <= 117; ++t) known.push_back(t);
  for (int t = 128; t <= 133; ++t) known.push_back(t);
  for (int t = 0; t <= 300; ++t) {
    const bool isKnown = std::find(known.begin(), known.end(), t) != known.end();
    CtrlMessage msg;
    EXPECT_EQ(LoadAndParse(msg, RawMessage(0x10, CTRLMSG_FLAG_RESPONSE, 3, {{static_cast<uint16_t>(t), {}}})),
              isKnown ? 0 : 86)
        << "payload type " << t;
  }
}

TEST_F(CtrlMessageTest, GettersTakeTheFirstAndCheckLengths) {
  CtrlMessage msg;
  ASSERT_EQ(LoadAndParse(msg, RawMessage(0x10, 0, 3,
                                         {{CM_PAYLOAD_STATUS, {0, 0, 0, 5}},
                                          {CM_PAYLOAD_STATUS, {0, 0, 0, 6}},
                                          {CM_PAYLOAD_UDP_PORT, {0x11, 0x94, 0, 0}},
                                          {CM_PAYLOAD_KEY_FORMAT, {0, 3}},
                                          {CM_PAYLOAD_NETMASK, {255, 255, 255}},
                                          {CM_PAYLOAD_SPI, {0xDE, 0xAD, 0xBE, 0xEF}}})),
            0);
  uint32_t dwValue = 0;
  ASSERT_EQ(msg.GetU32(CM_PAYLOAD_STATUS, dwValue), 0);
  EXPECT_EQ(dwValue, 5u);

  uint16_t wValue = 0;
  EXPECT_NE(msg.GetU16(CM_PAYLOAD_UDP_PORT, wValue), 0) << "u16 getter on a 4-byte value";
  EXPECT_NE(msg.GetU32(CM_PAYLOAD_KEY_FORMAT, dwValue), 0) << "u32 getter on a 2-byte value";
  EXPECT_NE(msg.GetAddress(CM_PAYLOAD_NETMASK, dwValue), 0) << "address getter on a 3-byte value";
  EXPECT_NE(msg.GetU32(CM_PAYLOAD_SESSION_ID, dwValue), 0) << "absent";
  ASSERT_EQ(msg.GetU16(CM_PAYLOAD_KEY_FORMAT, wValue), 0);
  EXPECT_EQ(wValue, 3);
  ASSERT_EQ(msg.GetAddress(CM_PAYLOAD_SPI, dwValue), 0);
  EXPECT_EQ(Hex(reinterpret_cast<const uint8_t*>(&dwValue), 4), "de ad be ef");
  ASSERT_EQ(msg.GetU32(CM_PAYLOAD_SPI, dwValue), 0);
  EXPECT_EQ(dwValue, 0xDEADBEEFu);
}

}  // namespace
}  // namespace brindleway
