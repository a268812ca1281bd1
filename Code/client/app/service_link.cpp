#include "client/app/service_link.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "client/app/client_app.h"
#include "client/app/client_constants.h"
#include "client/app/service_transaction.h"
#include "client/app/top_most_message.h"
#include "platform/ui/win32_ui.h"
#include "platform/win32/win32_error.h"
#include "support/conn_info_codec.h"
#include "support/log.h"
#include "support/text_convert.h"
#include "support/wire.h"

namespace client {
namespace {

constexpr char kServiceName[] = "Marrowlantern";

// A reply that echoes the command and, where the service answers one,
// carries the result 0: a refused record (87) is no accepted command.
bool Accepted(const std::vector<uint8_t>& reply, uint8_t command) {
  return reply.size() >= 5 && reply[0] == command && wire::GetU32(&reply[1]) == 0;
}

std::vector<uint8_t> Command(uint8_t command, size_t bodySize = 0) {
  std::vector<uint8_t> request(1 + bodySize, 0);
  request[0] = command;
  return request;
}

// The text in the ANSI code page when it fits a field of size bytes.
bool AnsiField(std::string_view text, size_t size, std::string& out) {
  ConvertReport report;
  out = Utf8ToAnsi(text, &report);
  return report.ok() && out.size() < size;
}

// The service's command buffer: a code with its NUL and command byte.
constexpr size_t kMaxSmsCodeBytes = 4095;

void RealSleep(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace

ServiceLink::ServiceLink(ClientApp& app, Env env) : app_(app), env_(std::move(env)) {}

void ServiceLink::ShowTopMostError(uint32_t stringId) {
  ShowTopMostMessage(app_, app_.Host().String(stringId), platform::ui::MB_ICONERROR);
}

int ServiceLink::SendConnectCommand(const conn_info& conn) {
  std::vector<uint8_t> request = Command(VQ_OPEN_CHANNEL, conn_info::kWireSize);
  if (!EncodeConnInfo(conn, request.data() + 1)) {
    LogPrint(LOG_ERR, "Connection record does not fit its fields, not sent\n");
    return static_cast<int>(platform::ERROR_INVALID_PARAMETER);
  }
  std::vector<uint8_t> reply;
  uint32_t error = TransactWithBrindleway(request, reply);
  // The service is not running: start it and send again, at most seven
  // starts; a start the service layer refuses ends the tries at once.
  for (int starts = 0; error == platform::ERROR_FILE_NOT_FOUND;) {
    const uint32_t started = RunNetStart();
    if (started != 0) {
      error = started;
      break;
    }
    if (++starts == kServiceStartTries) break;
    (env_.sleep ? env_.sleep : RealSleep)(kServiceStartPauseMs);
    error = TransactWithBrindleway(request, reply);
  }
  return Outcome(error, reply, VQ_OPEN_CHANNEL, "Error command\n");
}

int ServiceLink::Outcome(uint32_t error, const std::vector<uint8_t>& reply, uint8_t command, const char* wrongReply) {
  if (error != 0) {
    ShowTopMostError(IDS_CANNOT_CONNECT_SERVICE);
    LogPrint(LOG_ERR, "Connect to the service failed\n");
    return static_cast<int>(error);
  }
  if (!Accepted(reply, command)) {
    ShowTopMostError(IDS_ERROR_COMMAND);
    LogPrint(LOG_ERR, wrongReply);
    return -1;
  }
  return 0;
}

void ServiceLink::SendDisconnectCommand() {
  LogPrint(LOG_INFO, "Disconnect from the server\n");
  std::vector<uint8_t> reply;
  TransactWithBrindleway(Command(VQ_CLOSE_CHANNEL), reply);
}

int ServiceLink::SendInqueryCommand() {
  std::vector<uint8_t> reply;
  if (const uint32_t error = TransactWithBrindleway(Command(VQ_INQUERY), reply)) {
    ClearStatusBlock();
    return static_cast<int>(error);
  }
  // A reply that is not a whole status answer changes nothing: fields
  // taken from beyond its end would read as zeros (status 0, closing).
  if (reply.size() < kInqueryReplySize || reply[0] != VQ_INQUERY) {
    LogPrint(LOG_ERR, "VQ_INQUERY Error command, iRet = %d\n", static_cast<int>(reply.size()));
    LogHexDump("Receive VQ_INQUERY Message ....", reply.data(), static_cast<int>(reply.size()));
    return -1;
  }
  if (wire::GetU32(&reply[1]) != 0) {
    ClearStatusBlock();
    return -1;
  }
  status_.Store(reply.data(), reply.size());
  app_.SetChannelStatus(static_cast<int>(wire::GetU32(&reply[37])));
  return 0;
}

void ServiceLink::SendAutoLogonFlag(bool on) {
  std::vector<uint8_t> request = Command(VQ_SET_AUTO_LOGON, 2);
  wire::PutU16(&request[1], on ? 1 : 0);
  std::vector<uint8_t> reply;
  TransactWithBrindleway(request, reply);
}

void ServiceLink::ApplyAutoLogonFlag(bool on) {
  std::vector<uint8_t> request = Command(VQ_SET_AUTO_LOGON, 2);
  wire::PutU16(&request[1], on ? 1 : 0);
  std::vector<uint8_t> reply;
  TransactWithBrindlewayLogged(request, reply);
}

void ServiceLink::SendTraceMaskCommand(uint32_t mask) {
  std::vector<uint8_t> request = Command(VQ_SET_TRACE_MASK, 4);
  wire::PutU32(&request[1], mask);
  std::vector<uint8_t> reply;
  TransactWithBrindleway(request, reply);
}

int ServiceLink::SendChangePasswordCommand(std::string_view oldPassword, std::string_view newPassword) {
  change_pwd_info info;
  info.user = app_.GetConnUser();
  // A cut password would be a different password.
  if (!AnsiField(oldPassword, 128, info.old_password) || !AnsiField(newPassword, 128, info.new_password)) {
    LogPrint(LOG_ERR, "Password does not fit 127 bytes, not sent\n");
    return static_cast<int>(platform::ERROR_INVALID_PARAMETER);
  }
  std::vector<uint8_t> request = Command(VQ_CHANGE_PASSWORD, change_pwd_info::kWireSize);
  if (!EncodeChangePwdInfo(info, request.data() + 1)) {
    LogPrint(LOG_ERR, "Password record does not fit its fields, not sent\n");
    return static_cast<int>(platform::ERROR_INVALID_PARAMETER);
  }
  std::vector<uint8_t> reply;
  const uint32_t error = TransactWithBrindleway(request, reply);
  return Outcome(error, reply, VQ_CHANGE_PASSWORD, "new password Error command\n");
}

int ServiceLink::SendSmsAuthCode(std::string_view code) {
  std::string ansi;
  if (!AnsiField(code, kMaxSmsCodeBytes, ansi)) {
    LogPrint(LOG_ERR, "szAuthCode is too long...\n");
    return -3;
  }
  std::vector<uint8_t> request = Command(VQ_SMS_AUTH, ansi.size() + 1);
  std::copy(ansi.begin(), ansi.end(), request.begin() + 1);
  std::vector<uint8_t> reply;
  const uint32_t error = TransactWithBrindleway(request, reply);
  return Outcome(error, reply, VQ_SMS_AUTH, "new password Error command\n");
}

int ServiceLink::SendSmsAuthRequest() {
  LogPrint(LOG_DEBUG, "ApplySmsAuthCode...");
  std::vector<uint8_t> reply;
  const uint32_t error = TransactWithBrindleway(Command(VQ_SMS_AUTH_REQ), reply);
  return Outcome(error, reply, VQ_SMS_AUTH_REQ, "Sms Auth Error command\n");
}

void ServiceLink::ClearStatusBlock() {
  status_.Clear();
  app_.SetChannelStatus(kStatusDisconnected);
}

std::unique_ptr<CServiceControl> ServiceLink::Control() {
  auto control = env_.openManager ? std::make_unique<CServiceControl>(
                                        env_.openManager, env_.managerSleep ? env_.managerSleep : RealSleep)
                                  : std::make_unique<CServiceControl>();
  control->Init(kServiceName);
  return control;
}

uint32_t ServiceLink::RunNetStart() { return Control()->Start(); }

uint32_t ServiceLink::RunNetStop() { return Control()->Stop(); }

}  // namespace client
