#include "gateway/scripted_replies.h"

namespace vqgw {
namespace {

// Each script piece starts with 4 bytes the client skips.
Bytes PieceValue(const Bytes& piece) {
  Bytes value{0, 0, 0, 0};
  value.insert(value.end(), piece.begin(), piece.end());
  return value;
}

void AppendU32(Bytes& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

Bytes AddressList(const std::vector<Ipv4>& addresses) {
  Bytes value;
  for (const Ipv4& a : addresses) value.insert(value.end(), a.begin(), a.end());
  return value;
}

void AddText(Message& m, const GatewayText& text) {
  if (text.english) m.AddText(kPayloadTextEnglish, *text.english);
  if (text.chinese) m.AddText(kPayloadTextChinese, *text.chinese);
}

Message Unsolicited(uint16_t type) {
  Message m;
  m.type = type;
  return m;
}

}  // namespace

Bytes WithVersion(Bytes message, uint8_t version) {
  if (!message.empty()) message[0] = version;
  return message;
}

Message Response(uint16_t type, int32_t status) { return Response(type, std::optional<int32_t>(status), {}); }

Message Response(uint16_t type, std::optional<int32_t> status, const GatewayText& text) {
  Message m;
  m.flags = kFlagResponse;
  m.type = type;
  if (status) m.AddU32(kPayloadStatus, static_cast<uint32_t>(*status));
  AddText(m, text);
  return m;
}

Bytes LoginReply(const LoginReplyOptions& options) {
  Message m = Response(kMsgAuth, options.status, options.text);
  if (options.sessionId) m.AddU32(kPayloadSessionId, *options.sessionId);
  if (options.allowPasswordChange) m.AddU32(kPayloadAllowPassword, *options.allowPasswordChange);
  if (options.smsNeeded) m.AddU32(kPayloadSms, 1);
  if (options.credential) m.AddText(kPayloadCredential, *options.credential);
  return Encode(m);
}

Bytes ClientInfoReply(int32_t status) { return Encode(Response(kMsgClientInfo, status)); }

Bytes ClientInfoReply(const ClientInfoReplyOptions& options) {
  Message m = Response(kMsgClientInfo, options.status, options.text);
  if (options.clientAddress) m.AddIPv4(kPayloadClientAddress, *options.clientAddress);
  if (options.gatewayAddress) m.AddIPv4(kPayloadGatewayAddress, *options.gatewayAddress);
  if (options.preferredGateways) {
    Bytes list;
    for (const PreferredGateway& g : *options.preferredGateways) {
      list.insert(list.end(), g.address.begin(), g.address.end());
      AppendU32(list, g.tcpPort);
      AppendU32(list, g.udpPort);
    }
    m.Add(options.proximity ? kPayloadPreferredProximity : kPayloadPreferredList, std::move(list));
  }
  return Encode(m);
}

Bytes KeyReply(uint16_t type, int32_t status, uint32_t gatewaySpi) {
  Message m = Response(type, status);
  m.AddU32(kPayloadSpi, gatewaySpi);
  m.AddU16(kPayloadEncryption, 12);
  m.AddU16(kPayloadHash, 2);
  return Encode(m);
}

Bytes KeyReply(const KeyReplyOptions& options) {
  Message m = Response(options.type, options.status, options.text);
  if (options.gatewaySpi) m.AddU32(kPayloadSpi, *options.gatewaySpi);
  if (options.encryption) m.AddU16(kPayloadEncryption, *options.encryption);
  if (options.hash) m.AddU16(kPayloadHash, *options.hash);
  if (options.sessionId) m.AddU32(kPayloadSessionId, *options.sessionId);
  if (options.cpi) m.AddU16(kPayloadCpi, *options.cpi);
  if (options.compression) m.AddU16(kPayloadCompression, *options.compression);
  if (options.url) m.AddText(kPayloadUrl, *options.url);
  if (options.urlTitle) m.AddText(kPayloadUrlTitle, *options.urlTitle);
  return Encode(m);
}

Bytes HeartBeatReply(uint32_t status) { return Encode(Response(kMsgKeepAlive, static_cast<int32_t>(status))); }
Bytes ChangePasswordReply(int32_t status) { return Encode(Response(kMsgChangePwdReply, status)); }
Bytes SmsRequestReply(int32_t status) { return Encode(Response(kMsgSmsRequestReply, status)); }
Bytes SmsCodeReply(int32_t status) { return Encode(Response(kMsgSmsCodeReply, status)); }

Bytes HostCheckReply(std::optional<int32_t> status, const GatewayText& text) {
  return Encode(Response(kMsgHostCheck, status, text));
}

Bytes KeyDone(int32_t status) {
  Message m = Unsolicited(kMsgKeyDone);
  m.AddU32(kPayloadStatus, static_cast<uint32_t>(status));
  return Encode(m);
}

Bytes KeyDoneWithoutStatus() {
  // A message needs one payload to be well formed: one the client ignores.
  Message m = Unsolicited(kMsgKeyDone);
  m.AddU32(kPayloadSessionId, 0);
  return Encode(m);
}

Bytes SetIp(const SetIpOptions& options) {
  Message m = Unsolicited(kMsgSetIp);
  if (options.status) m.AddU32(kPayloadStatus, static_cast<uint32_t>(*options.status));
  if (options.tunnelAddress) m.AddIPv4(kPayloadTunnelAddress, *options.tunnelAddress);
  if (options.gatewayTunnelAddress) m.AddIPv4(kPayloadGatewayTunnelAddress, *options.gatewayTunnelAddress);
  if (options.udpPort) m.AddU16(kPayloadUdpPort, *options.udpPort);
  if (options.netmask) m.AddIPv4(kPayloadNetmask, *options.netmask);
  if (options.dns) m.Add(kPayloadDns, AddressList(*options.dns));
  if (options.wins) m.Add(kPayloadWins, AddressList(*options.wins));
  if (m.payloads.empty()) m.AddU32(kPayloadSessionId, 0);
  return Encode(m);
}

Bytes SetRoute(const std::vector<Route>& routes) {
  Bytes value;
  for (const Route& r : routes) {
    value.insert(value.end(), r.destination.begin(), r.destination.end());
    value.insert(value.end(), r.mask.begin(), r.mask.end());
    AppendU32(value, r.metric);
  }
  return SetRouteRaw(value);
}

Bytes SetRouteRaw(const std::optional<Bytes>& routes) {
  Message m = Unsolicited(kMsgSetRoute);
  if (routes) {
    m.Add(kPayloadRoutes, *routes);
  } else {
    m.AddU32(kPayloadStatus, 0);
  }
  return Encode(m);
}

Bytes SvrDisconn(std::optional<int32_t> status) {
  Message m = Unsolicited(kMsgSvrDisconn);
  if (status) {
    m.AddU32(kPayloadStatus, static_cast<uint32_t>(*status));
  } else {
    m.AddU32(kPayloadSessionId, 0);
  }
  return Encode(m);
}

Bytes HostCheckDigest() {
  Message m = Unsolicited(kMsgHostCheck);
  m.Add(kPayloadHostCheckDigest, Bytes(16, 0xAB));
  return Encode(m);
}

Bytes HostCheckLength(uint32_t total, const Bytes& firstPiece) {
  Message m = Unsolicited(kMsgHostCheck);
  m.AddU32(kPayloadHostCheckSize, total);
  m.Add(kPayloadHostCheckData, PieceValue(firstPiece));
  return Encode(m);
}

Bytes HostCheckPiece(const Bytes& piece) {
  Message m = Unsolicited(kMsgHostCheck);
  m.Add(kPayloadHostCheckData, PieceValue(piece));
  return Encode(m);
}

Bytes HostCheckStatus(int32_t status, const GatewayText& text) {
  Message m = Unsolicited(kMsgHostCheck);
  m.AddU32(kPayloadStatus, static_cast<uint32_t>(status));
  AddText(m, text);
  return Encode(m);
}

std::vector<Action> AnswerNext(const Bytes& reply) { return {Action::Read(1), Action::Send(reply)}; }

std::vector<Action> SilentNext() { return {Action::Read(1)}; }

}  // namespace vqgw
