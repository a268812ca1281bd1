// The gateway's side of the control-message wire format, written apart from
// the client's codec so that a mistake made the same way on both sides shows
// up against the shared golden fixtures (tests/data/ctrl_golden/).
//
// One message: version (1), flags (1), type (2, big-endian), total length
// (4, big-endian, header included), then payloads: type (2), value length
// (2), the value, zero bytes up to a multiple of 4.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vqgw {

using Bytes = std::vector<uint8_t>;

inline constexpr size_t kHeaderBytes = 8;
// The gateway refuses anything larger, as a hostile or broken peer.
inline constexpr size_t kMaxMessageBytes = 65536;

inline constexpr uint8_t kFlagResponse = 0x02;

// Message types the gateway sends or expects.
enum MsgType : uint16_t {
  kMsgAuth = 1,
  kMsgClientInfo = 2,
  kMsgSetIp = 3,
  kMsgSetRoute = 4,
  kMsgNewKey = 5,
  kMsgKeyDone = 6,
  kMsgLogout = 7,
  kMsgSvrDisconn = 8,
  kMsgKeepAlive = 9,
  kMsgRekey = 10,
  kMsgHostCheck = 11,
  kMsgChangePwd = 13,
  kMsgChangePwdReply = 14,
  kMsgSmsRequest = 15,
  kMsgSmsRequestReply = 16,
  kMsgSmsCode = 17,
  kMsgSmsCodeReply = 18,
};

// Payload types the gateway writes or reads.
enum PayloadType : uint16_t {
  kPayloadUser = 1,
  kPayloadPassword = 2,
  kPayloadNewPassword = 3,
  kPayloadStatus = 4,
  kPayloadClientAddress = 5,
  kPayloadGatewayAddress = 6,
  kPayloadTunnelAddress = 7,
  kPayloadGatewayTunnelAddress = 8,
  kPayloadUdpPort = 9,
  kPayloadNetmask = 11,
  kPayloadKeyMaterial = 16,
  kPayloadDns = 17,
  kPayloadWins = 18,
  kPayloadRoutes = 19,
  kPayloadPreferredList = 20,
  kPayloadPreferredProximity = 21,
  kPayloadKeyVersion = 32,
  kPayloadSpi = 48,
  kPayloadEncryption = 49,
  kPayloadHash = 50,
  kPayloadSessionId = 51,
  kPayloadTextEnglish = 53,
  kPayloadTextChinese = 54,
  kPayloadKeepAlive = 64,
  kPayloadAuthType = 81,
  kPayloadCredential = 82,
  kPayloadHostCheckDigest = 112,
  kPayloadHostCheckSize = 113,
  kPayloadHostCheckData = 114,
  kPayloadHostCheckCycle = 117,
  kPayloadCpi = 128,
  kPayloadCompression = 129,
  kPayloadUrl = 130,
  kPayloadUrlTitle = 131,
  kPayloadAllowPassword = 132,
  kPayloadSms = 133,
};

// An IPv4 address as it lies on the wire (network order).
using Ipv4 = std::array<uint8_t, 4>;

struct Payload {
  uint16_t type = 0;
  Bytes value;
};

struct Message {
  uint8_t version = 0x10;
  uint8_t flags = 0;
  uint16_t type = 0;
  std::vector<Payload> payloads;

  Message& Add(uint16_t payloadType, Bytes value);
  Message& AddU32(uint16_t payloadType, uint32_t value);
  Message& AddU16(uint16_t payloadType, uint16_t value);
  Message& AddText(uint16_t payloadType, std::string_view text);
  // Four bytes as given (an address written a.b.c.d).
  Message& AddIPv4(uint16_t payloadType, uint8_t a, uint8_t b, uint8_t c, uint8_t d);
  Message& AddIPv4(uint16_t payloadType, const Ipv4& address);

  // First payload of a type, or null.
  const Payload* Find(uint16_t payloadType) const;
  std::optional<uint32_t> U32(uint16_t payloadType) const;
  std::optional<uint16_t> U16(uint16_t payloadType) const;
  std::optional<std::string> Text(uint16_t payloadType) const;
};

// Throws std::invalid_argument for a value longer than 65535 bytes.
Bytes Encode(const Message& message);
// Exactly one well-formed message (length field equal to the bytes given,
// payloads that end exactly at it, zero padding), else nullopt.
std::optional<Message> Decode(std::span<const uint8_t> bytes);

// Cuts a byte stream into messages.
class StreamReader {
 public:
  void Feed(std::span<const uint8_t> bytes);
  // The next whole message's bytes, nullopt while incomplete or once the
  // stream is broken (a length field below 8 or above kMaxMessageBytes).
  std::optional<Bytes> Next();
  bool Broken() const { return broken_; }
  size_t Pending() const { return buffer_.size(); }

 private:
  Bytes buffer_;
  bool broken_ = false;
};

}  // namespace vqgw
