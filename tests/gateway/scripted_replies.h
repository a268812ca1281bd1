// The gateway's answers to the client's negotiation requests, and script
// pieces that read one request and answer it or stay silent.
#pragma once

#include <cstdint>
#include <vector>

#include "gateway/gateway_codec.h"
#include "gateway/tls_gateway.h"

namespace vqgw {

// Status values of a login answer.
inline constexpr int32_t kStatusOk = 0;
inline constexpr int32_t kStatusBadCredentials = -5;
inline constexpr int32_t kStatusTooOld = -2;
inline constexpr int32_t kStatusGatewayText = -99;

struct LoginReplyOptions {
  int32_t status = kStatusOk;
  uint32_t sessionId = 0x01020304;
  uint32_t allowPasswordChange = 0;  // payload 132
  bool smsNeeded = false;            // payload 133 = 1
};

// A response: flags 0x02, status in payload 4, version 0x10.
Message Response(uint16_t type, int32_t status);

Bytes LoginReply(const LoginReplyOptions& options = {});
Bytes ClientInfoReply(int32_t status = kStatusOk);
// Type 5 or 10 with the gateway's SPI and algorithms.
Bytes KeyReply(uint16_t type, int32_t status = kStatusOk, uint32_t gatewaySpi = 0x1234);
// Status 1 is the answer the client expects.
Bytes HeartBeatReply(uint32_t status = 1);
Bytes ChangePasswordReply(int32_t status = kStatusOk);
Bytes SmsRequestReply(int32_t status = kStatusOk);
Bytes SmsCodeReply(int32_t status = kStatusOk);
// The gateway's own KEY_DONE (flags 0).
Bytes KeyDone(int32_t status = kStatusOk);
// The gateway's host-check messages (flags 0).
Bytes HostCheckDigest();
Bytes HostCheckLength(uint32_t total, const Bytes& firstPiece);
Bytes HostCheckPiece(const Bytes& piece);

// Reads one request and answers it.
std::vector<Action> AnswerNext(const Bytes& reply);
// Reads one request and never answers (the connection stays open).
std::vector<Action> SilentNext();

}  // namespace vqgw
