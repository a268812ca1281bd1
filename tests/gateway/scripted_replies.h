// The gateway's answers to the client's negotiation requests, its own
// unsolicited messages (flags 0), and script pieces that read one request
// and answer it or stay silent. Every builder writes version 0x10; a
// version-2 gateway's messages go through WithVersion.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "gateway/gateway_codec.h"
#include "gateway/tls_gateway.h"

namespace vqgw {

inline constexpr uint8_t kVersion1 = 0x10;
inline constexpr uint8_t kVersion2 = 0x20;

// Status values of the gateway's answers.
inline constexpr int32_t kStatusOk = 0;
inline constexpr int32_t kStatusBadCredentials = -5;
inline constexpr int32_t kStatusTooOld = -2;
inline constexpr int32_t kStatusNoAddress = -11;
inline constexpr int32_t kStatusAddressUsed = -13;
inline constexpr int32_t kStatusGatewayText = -99;

// The gateway's own text (payloads 53 and 54), each left out when absent.
struct GatewayText {
  std::optional<std::string> english{};
  std::optional<std::string> chinese{};
};

struct LoginReplyOptions {
  std::optional<int32_t> status = kStatusOk;
  std::optional<uint32_t> sessionId = 0x01020304;   // payload 51
  std::optional<uint32_t> allowPasswordChange = 0;  // payload 132
  bool smsNeeded = false;                           // payload 133 = 1
  std::optional<std::string> credential{};          // payload 82
  GatewayText text{};
};

// One preferred gateway: 12 bytes on the wire.
struct PreferredGateway {
  Ipv4 address{};
  uint32_t tcpPort = 443;
  uint32_t udpPort = 4500;
};

struct ClientInfoReplyOptions {
  std::optional<int32_t> status = kStatusOk;
  std::optional<Ipv4> clientAddress{};   // payload 5
  std::optional<Ipv4> gatewayAddress{};  // payload 6
  // Payload 20, or 21 with proximity; absent when nullopt.
  std::optional<std::vector<PreferredGateway>> preferredGateways{};
  bool proximity = false;
  GatewayText text{};
};

struct KeyReplyOptions {
  uint16_t type = kMsgNewKey;  // or kMsgRekey
  std::optional<int32_t> status = kStatusOk;
  std::optional<uint32_t> gatewaySpi = 0x00C0FFEE;  // payload 48, network order
  std::optional<uint16_t> encryption = 12;          // payload 49
  std::optional<uint16_t> hash = 2;                 // payload 50
  std::optional<uint32_t> sessionId = 0x01020304;   // payload 51 (read by version-2 clients)
  std::optional<uint16_t> cpi = 0x0321;             // payload 128
  std::optional<uint16_t> compression = 0;          // payload 129 (0 off, 2 zlib)
  std::optional<std::string> url{};                 // payload 130
  std::optional<std::string> urlTitle{};            // payload 131
  GatewayText text{};
};

struct SetIpOptions {
  std::optional<int32_t> status = kStatusOk;                     // payload 4
  std::optional<Ipv4> tunnelAddress = Ipv4{10, 8, 0, 2};         // payload 7
  std::optional<Ipv4> netmask = Ipv4{255, 255, 255, 0};          // payload 11
  std::optional<Ipv4> gatewayTunnelAddress = Ipv4{10, 8, 0, 1};  // payload 8
  std::optional<uint16_t> udpPort = 4500;                        // payload 9
  std::optional<std::vector<Ipv4>> dns = std::vector<Ipv4>{};    // payload 17
  std::optional<std::vector<Ipv4>> wins = std::vector<Ipv4>{};   // payload 18
};

// A route of SET_ROUTE: 12 bytes on the wire.
struct Route {
  Ipv4 destination{};
  Ipv4 mask{};
  uint32_t metric = 1;
};

// The same message with another version byte.
Bytes WithVersion(Bytes message, uint8_t version);

// A response: flags 0x02, status in payload 4, version 0x10.
Message Response(uint16_t type, int32_t status);
// A response whose status may be left out, with the gateway's text.
Message Response(uint16_t type, std::optional<int32_t> status, const GatewayText& text);

Bytes LoginReply(const LoginReplyOptions& options = {});
Bytes ClientInfoReply(int32_t status = kStatusOk);
Bytes ClientInfoReply(const ClientInfoReplyOptions& options);
// Type 5 or 10 with the gateway's SPI and algorithms only.
Bytes KeyReply(uint16_t type, int32_t status = kStatusOk, uint32_t gatewaySpi = 0x1234);
Bytes KeyReply(const KeyReplyOptions& options);
// Status 1 is the answer the client expects.
Bytes HeartBeatReply(uint32_t status = 1);
Bytes ChangePasswordReply(int32_t status = kStatusOk);
Bytes SmsRequestReply(int32_t status = kStatusOk);
Bytes SmsCodeReply(int32_t status = kStatusOk);
// The answer to the client's host-check result (type 11, flags 0x02).
Bytes HostCheckReply(std::optional<int32_t> status = kStatusOk, const GatewayText& text = {});

// The gateway's own messages (flags 0).
Bytes KeyDone(int32_t status = kStatusOk);
Bytes KeyDoneWithoutStatus();
Bytes SetIp(const SetIpOptions& options = {});
Bytes SetRoute(const std::vector<Route>& routes);
// Payload 19 with any bytes (a length that is no multiple of 12); nullopt
// leaves payload 19 out (a status payload keeps the message well formed).
Bytes SetRouteRaw(const std::optional<Bytes>& routes);
Bytes SvrDisconn(std::optional<int32_t> status);
Bytes HostCheckDigest();
Bytes HostCheckLength(uint32_t total, const Bytes& firstPiece);
Bytes HostCheckPiece(const Bytes& piece);
// A host-check message carrying only a status (and the gateway's text).
Bytes HostCheckStatus(int32_t status, const GatewayText& text = {});

// Reads one request and answers it.
std::vector<Action> AnswerNext(const Bytes& reply);
// Reads one request and never answers (the connection stays open).
std::vector<Action> SilentNext();

}  // namespace vqgw
