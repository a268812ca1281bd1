#include "gateway/scripted_replies.h"

namespace vqgw {
namespace {

constexpr uint16_t kPayloadStatus = 4;
constexpr uint16_t kPayloadSpi = 48;
constexpr uint16_t kPayloadEncryption = 49;
constexpr uint16_t kPayloadHash = 50;
constexpr uint16_t kPayloadSessionId = 51;
constexpr uint16_t kPayloadHostCheckDigest = 112;
constexpr uint16_t kPayloadHostCheckSize = 113;
constexpr uint16_t kPayloadHostCheckData = 114;
constexpr uint16_t kPayloadAllowPassword = 132;
constexpr uint16_t kPayloadSms = 133;

// Each script piece starts with 4 bytes the client skips.
Bytes PieceValue(const Bytes& piece) {
  Bytes value{0, 0, 0, 0};
  value.insert(value.end(), piece.begin(), piece.end());
  return value;
}

}  // namespace

Message Response(uint16_t type, int32_t status) {
  Message m;
  m.flags = kFlagResponse;
  m.type = type;
  m.AddU32(kPayloadStatus, static_cast<uint32_t>(status));
  return m;
}

Bytes LoginReply(const LoginReplyOptions& options) {
  Message m = Response(kMsgAuth, options.status);
  m.AddU32(kPayloadSessionId, options.sessionId);
  m.AddU32(kPayloadAllowPassword, options.allowPasswordChange);
  if (options.smsNeeded) m.AddU32(kPayloadSms, 1);
  return Encode(m);
}

Bytes ClientInfoReply(int32_t status) { return Encode(Response(kMsgClientInfo, status)); }

Bytes KeyReply(uint16_t type, int32_t status, uint32_t gatewaySpi) {
  Message m = Response(type, status);
  m.AddU32(kPayloadSpi, gatewaySpi);
  m.AddU16(kPayloadEncryption, 12);
  m.AddU16(kPayloadHash, 2);
  return Encode(m);
}

Bytes HeartBeatReply(uint32_t status) { return Encode(Response(kMsgKeepAlive, static_cast<int32_t>(status))); }
Bytes ChangePasswordReply(int32_t status) { return Encode(Response(14, status)); }
Bytes SmsRequestReply(int32_t status) { return Encode(Response(16, status)); }
Bytes SmsCodeReply(int32_t status) { return Encode(Response(18, status)); }

Bytes KeyDone(int32_t status) {
  Message m;
  m.type = kMsgKeyDone;
  m.AddU32(kPayloadStatus, static_cast<uint32_t>(status));
  return Encode(m);
}

Bytes HostCheckDigest() {
  Message m;
  m.type = kMsgHostCheck;
  m.Add(kPayloadHostCheckDigest, Bytes(16, 0xAB));
  return Encode(m);
}

Bytes HostCheckLength(uint32_t total, const Bytes& firstPiece) {
  Message m;
  m.type = kMsgHostCheck;
  m.AddU32(kPayloadHostCheckSize, total);
  m.Add(kPayloadHostCheckData, PieceValue(firstPiece));
  return Encode(m);
}

Bytes HostCheckPiece(const Bytes& piece) {
  Message m;
  m.type = kMsgHostCheck;
  m.Add(kPayloadHostCheckData, PieceValue(piece));
  return Encode(m);
}

std::vector<Action> AnswerNext(const Bytes& reply) { return {Action::Read(1), Action::Send(reply)}; }

std::vector<Action> SilentNext() { return {Action::Read(1)}; }

}  // namespace vqgw
