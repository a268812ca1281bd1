// The test gateway's negotiation pieces on their own: the message builders
// against bytes laid out by hand and the gateway's codec, the hostile
// builders, the gateway's key-block derivation against an independent
// computation, and the whole scripted negotiation played to a minimal TLS
// client made of the gateway codec (no client code involved).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/sha.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/hex.h"
#include "gateway/gateway_codec.h"
#include "gateway/gateway_key_block.h"
#include "gateway/hostile_messages.h"
#include "gateway/key_request.h"
#include "gateway/negotiation_script.h"
#include "gateway/scripted_replies.h"
#include "gateway/tls_gateway.h"
#include "platform/unique_fd.h"

namespace vqgw {
namespace {

std::vector<uint16_t> PayloadTypes(const Message& m) {
  std::vector<uint16_t> types;
  for (const Payload& p : m.payloads) types.push_back(p.type);
  return types;
}

Message MustDecode(const Bytes& bytes) {
  std::optional<Message> m = Decode(bytes);
  EXPECT_TRUE(m.has_value());
  return m.value_or(Message{});
}

Bytes Material(uint8_t seed) {
  Bytes material(kKeyMaterialBytes);
  for (size_t i = 0; i < material.size(); ++i) material[i] = static_cast<uint8_t>(seed + i);
  return material;
}

std::span<const uint8_t, kKeyMaterialBytes> Fixed(const Bytes& material) {
  return std::span<const uint8_t, kKeyMaterialBytes>(material.data(), kKeyMaterialBytes);
}

// ---------------------------------------------------------------- golden bytes

TEST(GatewayMessages, SetIpMatchesHandLaidBytes) {
  const Bytes expected = {
      0x10, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x38,  // version, flags, type 3, length 56
      0x00, 0x07, 0x00, 0x04, 172,  16,   0,    5,     // tunnel address
      0x00, 0x08, 0x00, 0x04, 172,  16,   0,    1,     // gateway's tunnel address
      0x00, 0x09, 0x00, 0x02, 0x27, 0x10, 0x00, 0x00,  // UDP port 10000, two zero bytes of padding
      0x00, 0x0B, 0x00, 0x04, 255,  255,  0,    0,     // netmask
      0x00, 0x11, 0x00, 0x08, 172,  16,   0,    53,   9, 9, 9, 9,  // two DNS servers
      0x00, 0x12, 0x00, 0x00,                          // empty WINS list
  };
  SetIpOptions o;
  o.status = std::nullopt;
  o.tunnelAddress = Ipv4{172, 16, 0, 5};
  o.gatewayTunnelAddress = Ipv4{172, 16, 0, 1};
  o.udpPort = 10000;
  o.netmask = Ipv4{255, 255, 0, 0};
  o.dns = std::vector<Ipv4>{{172, 16, 0, 53}, {9, 9, 9, 9}};
  o.wins = std::vector<Ipv4>{};
  EXPECT_EQ(SetIp(o), expected);
}

TEST(GatewayMessages, SetRouteMatchesHandLaidBytes) {
  const Bytes expected = {
      0x10, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x24,  // type 4, length 36
      0x00, 0x13, 0x00, 0x18,                          // routes, 24 bytes
      10,   0,    0,    0,    255,  0,    0,    0,    0x00, 0x00, 0x00, 0x01,
      192,  168,  1,    0,    255,  255,  255,  0,    0x00, 0x00, 0x01, 0x02,
  };
  EXPECT_EQ(SetRoute({{Ipv4{10, 0, 0, 0}, Ipv4{255, 0, 0, 0}, 1},
                      {Ipv4{192, 168, 1, 0}, Ipv4{255, 255, 255, 0}, 0x0102}}),
            expected);

  // 30 bytes: the length field says 30, two zero bytes pad to 32.
  Bytes raw(30, 0x5A);
  const Bytes odd = SetRouteRaw(raw);
  ASSERT_EQ(odd.size(), 8u + 4 + 32);
  EXPECT_EQ(odd[7], 44);
  EXPECT_EQ(odd[10], 0x00);
  EXPECT_EQ(odd[11], 30);
  EXPECT_EQ(odd[odd.size() - 3], 0x5A);
  EXPECT_EQ(odd[odd.size() - 2], 0x00);
  EXPECT_EQ(odd[odd.size() - 1], 0x00);
}

// ---------------------------------------------------------------- builders

TEST(GatewayMessages, EachBuilderDecodesWithItsPayloads) {
  struct Case {
    std::string name;
    Bytes bytes;
    uint8_t flags;
    uint16_t type;
    std::vector<uint16_t> payloads;
  };
  LoginReplyOptions login;
  login.credential = "cookie";
  login.smsNeeded = true;
  login.text = {"hello", "ni hao"};
  LoginReplyOptions bare;
  bare.status = std::nullopt;
  bare.sessionId = std::nullopt;
  bare.allowPasswordChange = std::nullopt;
  bare.text.english = "only text";
  KeyReplyOptions fullKey;
  fullKey.url = "https://portal.test/";
  fullKey.urlTitle = "Portal";
  KeyReplyOptions bareKey;
  bareKey.type = kMsgRekey;
  bareKey.status = -1;
  bareKey.gatewaySpi = bareKey.encryption = bareKey.hash = std::nullopt;
  bareKey.sessionId = std::nullopt;
  bareKey.cpi = bareKey.compression = std::nullopt;
  SetIpOptions minimalIp;
  minimalIp.status = kStatusNoAddress;
  minimalIp.tunnelAddress = minimalIp.netmask = minimalIp.gatewayTunnelAddress = std::nullopt;
  minimalIp.udpPort = std::nullopt;
  minimalIp.dns = minimalIp.wins = std::nullopt;
  SetIpOptions noPayloadAtAll = minimalIp;
  noPayloadAtAll.status = std::nullopt;
  ClientInfoReplyOptions info;
  info.clientAddress = Ipv4{192, 0, 2, 10};
  info.gatewayAddress = Ipv4{198, 51, 100, 1};
  info.preferredGateways = std::vector<PreferredGateway>{};
  ClientInfoReplyOptions proximity;
  proximity.preferredGateways = std::vector<PreferredGateway>{{Ipv4{203, 0, 113, 5}, 443, 4500}};
  proximity.proximity = true;

  const std::vector<Case> cases = {
      {"login full", LoginReply(login), kFlagResponse, kMsgAuth, {4, 53, 54, 51, 132, 133, 82}},
      {"login bare", LoginReply(bare), kFlagResponse, kMsgAuth, {53}},
      {"client info addresses", ClientInfoReply(info), kFlagResponse, kMsgClientInfo, {4, 5, 6, 20}},
      {"client info proximity", ClientInfoReply(proximity), kFlagResponse, kMsgClientInfo, {4, 21}},
      {"key full", KeyReply(fullKey), kFlagResponse, kMsgNewKey, {4, 48, 49, 50, 51, 128, 129, 130, 131}},
      {"key bare", KeyReply(bareKey), kFlagResponse, kMsgRekey, {4}},
      {"host-check reply", HostCheckReply(-99, {"text", std::nullopt}), kFlagResponse, kMsgHostCheck, {4, 53}},
      {"host-check reply no status", HostCheckReply(std::nullopt, {"t", "c"}), kFlagResponse, kMsgHostCheck, {53, 54}},
      {"set-ip defaults", SetIp(), 0, kMsgSetIp, {4, 7, 8, 9, 11, 17, 18}},
      {"set-ip status only", SetIp(minimalIp), 0, kMsgSetIp, {4}},
      {"set-ip nothing", SetIp(noPayloadAtAll), 0, kMsgSetIp, {51}},
      {"set-route without routes", SetRouteRaw(std::nullopt), 0, kMsgSetRoute, {4}},
      {"svr-disconn", SvrDisconn(5), 0, kMsgSvrDisconn, {4}},
      {"svr-disconn without status", SvrDisconn(std::nullopt), 0, kMsgSvrDisconn, {51}},
      {"key done", KeyDone(-1), 0, kMsgKeyDone, {4}},
      {"key done without status", KeyDoneWithoutStatus(), 0, kMsgKeyDone, {51}},
      {"host-check status", HostCheckStatus(-99, {"t", std::nullopt}), 0, kMsgHostCheck, {4, 53}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Message m = MustDecode(c.bytes);
    EXPECT_EQ(m.version, kVersion1);
    EXPECT_EQ(m.flags, c.flags);
    EXPECT_EQ(m.type, c.type);
    EXPECT_EQ(PayloadTypes(m), c.payloads);
  }
}

TEST(GatewayMessages, ValuesLandInTheirPayloads) {
  LoginReplyOptions login;
  login.status = kStatusGatewayText;
  login.credential = "cred";
  const Message l = MustDecode(LoginReply(login));
  EXPECT_EQ(l.U32(kPayloadStatus), static_cast<uint32_t>(-99));
  EXPECT_EQ(l.Text(kPayloadCredential), "cred");

  KeyReplyOptions key;
  key.gatewaySpi = 0x80000001;
  key.encryption = 15;
  key.hash = 5;
  key.sessionId = 0xDEADBEEF;
  key.cpi = 0x7FFF;
  key.compression = 2;
  key.url = "u";
  key.urlTitle = "title";
  const Message k = MustDecode(KeyReply(key));
  ASSERT_NE(k.Find(kPayloadSpi), nullptr);
  EXPECT_EQ(k.Find(kPayloadSpi)->value, (Bytes{0x80, 0x00, 0x00, 0x01}));  // network order
  EXPECT_EQ(k.U16(kPayloadEncryption), 15);
  EXPECT_EQ(k.U16(kPayloadHash), 5);
  EXPECT_EQ(k.U32(kPayloadSessionId), 0xDEADBEEFu);
  EXPECT_EQ(k.U16(kPayloadCpi), 0x7FFF);
  EXPECT_EQ(k.U16(kPayloadCompression), 2);
  EXPECT_EQ(k.Text(kPayloadUrl), "u");
  EXPECT_EQ(k.Text(kPayloadUrlTitle), "title");

  // Preferred gateways: address as it lies, then the two ports as u32 BE.
  ClientInfoReplyOptions info;
  info.preferredGateways = std::vector<PreferredGateway>{{Ipv4{203, 0, 113, 5}, 443, 4500},
                                                         {Ipv4{203, 0, 113, 6}, 0x01020304, 0}};
  const Message c = MustDecode(ClientInfoReply(info));
  ASSERT_NE(c.Find(kPayloadPreferredList), nullptr);
  EXPECT_EQ(c.Find(kPayloadPreferredList)->value, vqtest::FromHex("cb007105000001bb00001194"
                                                                  "cb0071060102030400000000"));
  // An empty list is still a payload, of length 0.
  info.preferredGateways = std::vector<PreferredGateway>{};
  const Message empty = MustDecode(ClientInfoReply(info));
  ASSERT_NE(empty.Find(kPayloadPreferredList), nullptr);
  EXPECT_TRUE(empty.Find(kPayloadPreferredList)->value.empty());
}

TEST(GatewayMessages, WithVersionChangesOnlyTheVersionByte) {
  const Bytes v1 = SetIp();
  const Bytes v2 = WithVersion(v1, kVersion2);
  ASSERT_EQ(v1.size(), v2.size());
  EXPECT_EQ(v2[0], 0x20);
  EXPECT_TRUE(std::equal(v1.begin() + 1, v1.end(), v2.begin() + 1));
}

// ---------------------------------------------------------------- hostile

TEST(GatewayHostileMessages, DamagedLayoutsNoLongerDecode) {
  const Bytes good = SetIp();
  ASSERT_TRUE(Decode(good).has_value());
  struct Case {
    std::string name;
    Bytes bytes;
  };
  const std::vector<Case> cases = {
      {"length field too large", WithLengthField(good, static_cast<uint32_t>(good.size() + 4))},
      {"length field too small", WithLengthField(good, static_cast<uint32_t>(good.size() - 2))},
      {"length field below a header", WithLengthField(good, 4)},
      {"last payload truncated", TruncateLastPayload(KeyReply(KeyReplyOptions{}), 2)},
      {"two bytes after the last payload", WithTrailingBytes(good, 2)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(Decode(c.bytes).has_value());
  }
  // The truncated message's length field still matches its bytes: only the
  // payload layout is wrong.
  const Bytes truncated = TruncateLastPayload(good, 6);
  EXPECT_EQ(truncated.size(), good.size() - 6);
  EXPECT_EQ(truncated[7], static_cast<uint8_t>(truncated.size()));
}

TEST(GatewayHostileMessages, WellFormedButHostileContent) {
  const Message unknown = MustDecode(WithUnknownPayload(LoginReply(), 90));
  EXPECT_EQ(unknown.flags, kFlagResponse);
  EXPECT_EQ(PayloadTypes(unknown).back(), 90);

  // A netmask of 3 bytes and a 300-byte DNS list in place of the real ones.
  const Bytes odd = ReplacePayload(ReplacePayload(SetIp(), kPayloadNetmask, {255, 255, 255}), kPayloadDns,
                                   Bytes(300, 8));
  const Message m = MustDecode(odd);
  EXPECT_EQ(PayloadTypes(m), PayloadTypes(MustDecode(SetIp())));
  EXPECT_EQ(m.Find(kPayloadNetmask)->value.size(), 3u);
  EXPECT_EQ(m.Find(kPayloadDns)->value.size(), 300u);
  EXPECT_FALSE(m.U32(kPayloadNetmask).has_value());
  // Absent payloads are appended.
  EXPECT_EQ(PayloadTypes(MustDecode(ReplacePayload(KeyDone(), kPayloadUrl, Bytes(300, 'a')))),
            (std::vector<uint16_t>{4, 130}));

  const Message unexpected = MustDecode(UnexpectedResponse(kMsgKeepAlive, 1));
  EXPECT_EQ(unexpected.flags, kFlagResponse);
  EXPECT_EQ(unexpected.type, kMsgKeepAlive);
  EXPECT_EQ(MustDecode(WithFlags(SetIp(), 0x03)).flags, 0x03);

  EXPECT_EQ(MustDecode(ManyPayloads(kMsgSetIp, 0, 601)).payloads.size(), 601u);
  const Bytes big = OversizedMessage(kMsgSetRoute, 0, 20000);
  EXPECT_GE(big.size(), 20000u);
  EXPECT_TRUE(Decode(big).has_value());

  EXPECT_THROW(Encode(Message{}.Add(1, Bytes(0x10000))), std::invalid_argument);
}

// ---------------------------------------------------------------- key block

TEST(GatewayKeyBlock, MatchesAKnownVector) {
  Bytes material(kKeyMaterialBytes);
  for (size_t i = 0; i < material.size(); ++i) material[i] = static_cast<uint8_t>(i);
  const KeyBlock block = DeriveGatewayKeyBlock(Fixed(material));
  auto digest = [&](size_t i) { return Bytes(block.begin() + 20 * i, block.begin() + 20 * (i + 1)); };
  EXPECT_EQ(digest(0), vqtest::FromHex("df7f23b160e75b9bae5ea1e62b43a5a34a260127"));  // K1
  EXPECT_EQ(digest(1), vqtest::FromHex("e9ec19f739854e70a63335f43b64f828a1baa6b5"));  // K2
  EXPECT_EQ(digest(9), vqtest::FromHex("9a0b7a67ca7ca95e9310850088d04f04ff547f19"));  // K10
}

TEST(GatewayKeyBlock, EachDigestHashesAllBeforeIt) {
  const Bytes material = Material(0xA7);
  Bytes expected(SHA_DIGEST_LENGTH);
  SHA1(material.data(), material.size(), expected.data());
  while (expected.size() < kKeyBlockBytes) {
    uint8_t next[SHA_DIGEST_LENGTH];
    SHA1(expected.data(), expected.size(), next);
    expected.insert(expected.end(), next, next + SHA_DIGEST_LENGTH);
  }
  const KeyBlock block = DeriveGatewayKeyBlock(Fixed(material));
  EXPECT_EQ(Bytes(block.begin(), block.end()), expected);
  // Only the material counts: another one gives another block.
  EXPECT_NE(DeriveGatewayKeyBlock(Fixed(Material(0xA8))), block);
}

// ---------------------------------------------------------------- key request

Message NewKeyRequest(uint16_t type, const Bytes& material) {
  Message m;
  m.type = type;
  m.AddU16(kPayloadKeyVersion, 3);
  m.Add(kPayloadKeyMaterial, material);
  m.Add(kPayloadSpi, {0x12, 0x34, 0x56, 0x78});
  m.AddU16(kPayloadCpi, 0x0042);
  if (type == kMsgRekey) m.AddU32(kPayloadSessionId, 77);
  return m;
}

TEST(GatewayKeyRequest, DecodesWhatTheClientSent) {
  const Bytes material = Material(1);
  const std::optional<KeyRequest> first = DecodeKeyRequest(Encode(NewKeyRequest(kMsgNewKey, material)));
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first->type, kMsgNewKey);
  EXPECT_EQ(first->keyVersion, 3);
  EXPECT_EQ(first->keyMaterial, material);
  EXPECT_EQ(first->clientSpi, 0x12345678u);
  EXPECT_EQ(first->clientCpi, 0x0042);
  EXPECT_FALSE(first->sessionId.has_value());
  ASSERT_TRUE(first->keyBlock.has_value());
  EXPECT_EQ(*first->keyBlock, DeriveGatewayKeyBlock(Fixed(material)));

  const std::optional<KeyRequest> rekey = DecodeKeyRequest(Encode(NewKeyRequest(kMsgRekey, material)));
  ASSERT_TRUE(rekey.has_value());
  EXPECT_EQ(rekey->sessionId, 77u);

  // Material of the wrong size is kept as it came, with no key block.
  const std::optional<KeyRequest> shortMaterial = DecodeKeyRequest(Encode(NewKeyRequest(kMsgNewKey, Bytes(47, 1))));
  ASSERT_TRUE(shortMaterial.has_value());
  EXPECT_EQ(shortMaterial->keyMaterial.size(), 47u);
  EXPECT_FALSE(shortMaterial->keyBlock.has_value());

  // Not a key request: another type, or the gateway's own key reply.
  EXPECT_FALSE(DecodeKeyRequest(Encode(NewKeyRequest(kMsgAuth, material))).has_value());
  EXPECT_FALSE(DecodeKeyRequest(KeyReply(KeyReplyOptions{})).has_value());
  EXPECT_FALSE(DecodeKeyRequest(Bytes{1, 2, 3}).has_value());
}

TEST(GatewayKeyRequest, EspPeerConfigTakesBothSides) {
  const Bytes material = Material(9);
  const KeyRequest request = *DecodeKeyRequest(Encode(NewKeyRequest(kMsgNewKey, material)));
  KeyReplyOptions reply;
  reply.gatewaySpi = 0x0BADF00D;
  reply.encryption = 15;
  reply.hash = 5;
  const vqgateway::EspPeerConfig config = EspPeerConfigFor(request, reply);
  EXPECT_EQ(config.clientSpi, 0x12345678u);
  EXPECT_EQ(config.gatewaySpi, 0x0BADF00Du);
  EXPECT_EQ(config.encryptionId, 15);
  EXPECT_EQ(config.hashId, 5);
  EXPECT_EQ(config.keyBlock, DeriveGatewayKeyBlock(Fixed(material)));
}

// ---------------------------------------------------------------- the script

TEST(NegotiationScript, StepsInOrderWithInsertionsAndReplacements) {
  NegotiationOptions o;
  o.insertBefore[Step::SetRoute] = {Action::Send(SvrDisconn(5)), Action::Stall(10)};
  o.replace[Step::KeyDone] = {Action::Send(KeyDone(-1))};
  o.replace[Step::Idle] = {};
  const std::vector<Action> script = HappyPathScript(o);
  std::vector<Action::Kind> kinds;
  for (const Action& a : script) kinds.push_back(a.kind);
  using K = Action::Kind;
  EXPECT_EQ(kinds, (std::vector<K>{K::ReadMessages, K::Write, K::ReadMessages, K::Write, K::Write, K::Write, K::Stall,
                                   K::Write, K::Write, K::ReadMessages, K::Write}));
  EXPECT_EQ(MustDecode(script[5].writes[0]).type, kMsgSvrDisconn);
  EXPECT_EQ(MustDecode(script[7].writes[0]).type, kMsgSetRoute);
  EXPECT_EQ(MustDecode(script[8].writes[0]).U32(kPayloadStatus), static_cast<uint32_t>(-1));
}

// A minimal TLS client made of the gateway codec: it plays the client's
// requests by hand.
class CodecClient {
 public:
  explicit CodecClient(uint16_t port) {
    fd_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(fd_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    timeval slice{0, 50 * 1000};
    ::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &slice, sizeof(slice));
    ctx_.reset(SSL_CTX_new(TLS_client_method()));
    ssl_.reset(SSL_new(ctx_.get()));
    SSL_set_fd(ssl_.get(), fd_.get());
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int ret = 0;
    while ((ret = SSL_connect(ssl_.get())) != 1 && std::chrono::steady_clock::now() < end) {
      const int e = SSL_get_error(ssl_.get(), ret);
      if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) break;
    }
    EXPECT_EQ(ret, 1);
  }
  ~CodecClient() {
    SSL_shutdown(ssl_.get());
  }

  void Send(const Message& m) {
    const Bytes bytes = Encode(m);
    ASSERT_EQ(SSL_write(ssl_.get(), bytes.data(), static_cast<int>(bytes.size())), static_cast<int>(bytes.size()));
  }
  // The next message, or nullopt when none came within the time.
  std::optional<Message> Next(int timeoutMs = 5000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      if (std::optional<Bytes> bytes = reader_.Next()) return Decode(*bytes);
      if (std::chrono::steady_clock::now() >= end) return std::nullopt;
      uint8_t buffer[16384];
      const int n = SSL_read(ssl_.get(), buffer, sizeof(buffer));
      if (n > 0) {
        reader_.Feed(std::span<const uint8_t>(buffer, static_cast<size_t>(n)));
        continue;
      }
      const int e = SSL_get_error(ssl_.get(), n);
      if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) return std::nullopt;
    }
  }

 private:
  platform::UniqueFd fd_;
  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> ctx_{nullptr, SSL_CTX_free};
  std::unique_ptr<SSL, decltype(&SSL_free)> ssl_{nullptr, SSL_free};
  StreamReader reader_;
};

Message Request(uint16_t type, uint8_t version) {
  Message m;
  m.version = version;
  m.type = type;
  return m;
}

class NegotiationScriptPlay : public ::testing::TestWithParam<uint8_t> {};

TEST_P(NegotiationScriptPlay, WholeNegotiationAndTheRecordedKeys) {
  const uint8_t version = GetParam();
  NegotiationOptions o;
  o.version = version;
  o.heartBeats = 1;
  o.setIp.dns = std::vector<Ipv4>{{10, 8, 0, 53}};
  o.key.gatewaySpi = 0x00ABCDEF;
  o.key.url = "https://portal.test/";
  o.insertBefore[Step::KeyDone] = {Action::Send(WithVersion(SvrDisconn(0), version))};
  GatewayOptions options;
  options.script = HappyPathScript(o);
  TlsGateway gateway(std::move(options));
  const Bytes material = Material(0x30);
  {
    CodecClient client(gateway.Port());
    // Login always goes out as version 1; the reply brings the gateway's.
    client.Send(Request(kMsgAuth, kVersion1).AddU16(kPayloadAuthType, 1).AddText(kPayloadUser, "alice"));
    std::optional<Message> m = client.Next();
    ASSERT_TRUE(m.has_value());
    EXPECT_EQ(m->version, version);
    EXPECT_EQ(m->type, kMsgAuth);
    EXPECT_EQ(m->U32(kPayloadStatus), 0u);

    client.Send(Request(kMsgClientInfo, version).AddIPv4(kPayloadClientAddress, 127, 0, 0, 1));
    const std::vector<std::pair<uint8_t, uint16_t>> expected = {{kFlagResponse, kMsgClientInfo},
                                                                {0, kMsgSetIp},
                                                                {0, kMsgSetRoute},
                                                                {0, kMsgSvrDisconn},
                                                                {0, kMsgKeyDone}};
    for (const auto& [flags, type] : expected) {
      m = client.Next();
      ASSERT_TRUE(m.has_value());
      EXPECT_EQ(m->version, version);
      EXPECT_EQ(m->flags, flags);
      EXPECT_EQ(m->type, type);
    }

    Message key = NewKeyRequest(kMsgNewKey, material);
    key.version = version;
    client.Send(key);
    m = client.Next();
    ASSERT_TRUE(m.has_value());
    EXPECT_EQ(m->version, version);
    EXPECT_EQ(m->type, kMsgNewKey);
    EXPECT_EQ(m->Text(kPayloadUrl), "https://portal.test/");

    // Idle: version 1 answers one heart-beat, then falls silent; a rekey is
    // answered either way.
    client.Send(Request(kMsgKeepAlive, version).AddU32(kPayloadKeepAlive, 1));
    if (version == kVersion1) {
      m = client.Next();
      ASSERT_TRUE(m.has_value());
      EXPECT_EQ(m->type, kMsgKeepAlive);
      EXPECT_EQ(m->U32(kPayloadStatus), 1u);
      client.Send(Request(kMsgKeepAlive, version).AddU32(kPayloadKeepAlive, 1));
    }
    EXPECT_FALSE(client.Next(300).has_value());
    Message rekey = NewKeyRequest(kMsgRekey, Material(0x31));
    rekey.version = version;
    client.Send(rekey);
    m = client.Next();
    ASSERT_TRUE(m.has_value());
    EXPECT_EQ(m->type, kMsgRekey);
  }
  ASSERT_TRUE(gateway.WaitFinished(0));
  const ConnectionRecord record = gateway.Connections()[0];
  ASSERT_EQ(record.keyRequests.size(), 2u);
  const KeyRequest& first = record.keyRequests[0];
  EXPECT_EQ(first.type, kMsgNewKey);
  EXPECT_EQ(first.keyMaterial, material);
  EXPECT_EQ(first.keyBlock, DeriveGatewayKeyBlock(Fixed(material)));
  EXPECT_EQ(record.keyRequests[1].type, kMsgRekey);
  EXPECT_EQ(record.keyRequests[1].keyMaterial, Material(0x31));
  const vqgateway::EspPeerConfig config = EspPeerConfigFor(first, o.key);
  EXPECT_EQ(config.gatewaySpi, 0x00ABCDEFu);
  EXPECT_EQ(config.clientSpi, 0x12345678u);
  EXPECT_TRUE(record.peerSentCloseNotify);
}

INSTANTIATE_TEST_SUITE_P(Versions, NegotiationScriptPlay, ::testing::Values(kVersion1, kVersion2));

}  // namespace
}  // namespace vqgw
