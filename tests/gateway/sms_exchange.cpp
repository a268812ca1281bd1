#include "gateway/sms_exchange.h"

#include <memory>

namespace vqgw {

Responder SmsResponder(const SmsGatewayOptions& options) {
  auto requests = std::make_shared<size_t>(0);
  return [options, requests](const Message& request) -> std::vector<Bytes> {
    if ((request.flags & kFlagResponse) != 0) return {};
    if (request.type == kMsgSmsRequest) {
      const size_t n = (*requests)++;
      int32_t status = options.requestStatus;
      if (n > 0) status = n - 1 < options.resendStatuses.size() ? options.resendStatuses[n - 1] : kStatusOk;
      return {WithVersion(SmsRequestReply(status), options.version)};
    }
    if (request.type == kMsgSmsCode) {
      const std::optional<std::string> code = request.Text(kPayloadSmsCode);
      const int32_t status =
          options.codeStatus.value_or(code && *code == options.code ? kStatusOk : options.wrongCodeStatus);
      return {WithVersion(SmsCodeReply(status), options.version)};
    }
    return {};
  };
}

std::vector<Action> SmsExchange(const SmsGatewayOptions& options, int answers) {
  return {Action::Respond(SmsResponder(options), answers)};
}

void AskForSms(NegotiationOptions& negotiation, const SmsGatewayOptions& options, int answers) {
  negotiation.login.smsNeeded = true;
  negotiation.insertBefore[Step::ReadClientInfo] = SmsExchange(options, answers);
}

std::vector<std::string> SmsCodesReceived(const ConnectionRecord& record) {
  std::vector<std::string> codes;
  for (const Bytes& bytes : record.received) {
    const std::optional<Message> m = Decode(bytes);
    if (m && m->type == kMsgSmsCode) codes.push_back(m->Text(kPayloadSmsCode).value_or(std::string()));
  }
  return codes;
}

int SmsRequestsReceived(const ConnectionRecord& record) {
  int n = 0;
  for (const Bytes& bytes : record.received) {
    const std::optional<Message> m = Decode(bytes);
    if (m && m->type == kMsgSmsRequest) ++n;
  }
  return n;
}

}  // namespace vqgw
