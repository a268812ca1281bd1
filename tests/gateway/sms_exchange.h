// The gateway's side of an SMS login. After a login reply that asks for an
// SMS code (LoginReplyOptions.smsNeeded) the client requests a code (type
// 15) and sends the user's codes (type 17); the gateway answers:
//   - the first code request: requestStatus;
//   - each later request (the user's resend): the next of resendStatuses,
//     0 once they are used up;
//   - a code: codeStatus when set (a refusal whatever the code), else 0 for
//     the right code and wrongCodeStatus for any other.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "gateway/negotiation_script.h"
#include "gateway/scripted_replies.h"
#include "gateway/tls_gateway.h"

namespace vqgw {

// The gateway's SMS refusals.
inline constexpr int32_t kSmsWrongCode = -16;
inline constexpr int32_t kSmsTimeout = -17;
inline constexpr int32_t kSmsDeviceError = -18;
inline constexpr int32_t kSmsTooManyTries = -19;
inline constexpr int32_t kSmsTooManyRequests = -20;

// The code's payload in type 17.
inline constexpr uint16_t kPayloadSmsCode = 134;

struct SmsGatewayOptions {
  std::string code = "123456";
  int32_t requestStatus = kStatusOk;
  std::vector<int32_t> resendStatuses{};
  int32_t wrongCodeStatus = kSmsWrongCode;
  std::optional<int32_t> codeStatus{};
  uint8_t version = kVersion1;  // the answers' version byte
};

// Answers code requests and codes; anything else stays unanswered.
Responder SmsResponder(const SmsGatewayOptions& options);
// The exchange as a script piece (it goes before Step::ReadClientInfo):
// answers `answers` requests and codes, then the script goes on.
std::vector<Action> SmsExchange(const SmsGatewayOptions& options, int answers);
// A negotiation whose login reply asks for a code, the exchange played
// before the client information.
void AskForSms(NegotiationOptions& negotiation, const SmsGatewayOptions& options, int answers);

// What the client sent on one connection: its codes in order, and how many
// code requests.
std::vector<std::string> SmsCodesReceived(const ConnectionRecord& record);
int SmsRequestsReceived(const ConnectionRecord& record);

}  // namespace vqgw
