// A report's road: [type][payload] -> connect to the client application's
// pipe (absent: 2 at once; busy: bounded wait) -> one write -> for a
// transaction, one answer within 500 ms -> the connection is closed.
#include "Brindleway/common/gui_reports.h"

#include <unistd.h>

#include <mutex>

#include "platform/pipe/pipe.h"
#include "platform/win32/win32_error.h"
#include "support/log.h"
#include "support/wire.h"

namespace brindleway {
namespace {

namespace pipe = platform::pipe;

struct ReportUser {
  std::mutex mutex;
  std::optional<uid_t> uid;
};

ReportUser& TheReportUser() {
  static ReportUser user;
  return user;
}

// Connect with the report pipe's logging. 0 or the error.
uint32_t OpenReportPipe(pipe::PipeConnection& connection, const std::vector<uint8_t>& message, bool oneWay) {
  const uint32_t error = pipe::Connect(kReportPipeName, connection, kGuiBusyWaitMs, ReportPipeUser());
  if (error == 0) return 0;
  if (error == platform::ERROR_FILE_NOT_FOUND) {
    LogPrint(LOG_ERR, "Could not connect Marrowlantern\n");
    // A socket file nobody serves (a client that died, kept by the sticky
    // folder for its owner) would stay there for the next client to trip on.
    pipe::RemoveStale(kReportPipeName);
  } else if (error == platform::ERROR_ACCESS_DENIED) {
    LogPrint(LOG_ERR, "The report pipe is served by another user, nothing sent\n");
  } else if (error == platform::ERROR_PIPE_BUSY) {
    if (oneWay) {
      LogPrint(LOG_INFO, "Proc WaitNamedPipe 3..............");
      LogPrint(LOG_ERR, "3 Could not open pipe {dwError = %ld}\n", error);
      LogHexDump("SendMessage ........", message.data(), static_cast<int>(message.size()));
    } else {
      LogPrint(LOG_ERR, "2 Could not open pipe {dwError = %ld}\n", error);
    }
  } else {
    LogPrint(LOG_ERR, "Could not open pipe {dwError = %ld}\n", error);
  }
  return error;
}

std::vector<uint8_t> Message(int type, const uint8_t* payload, size_t length) {
  std::vector<uint8_t> message;
  message.reserve(length + 1);
  message.push_back(static_cast<uint8_t>(type));
  if (length) message.insert(message.end(), payload, payload + length);
  return message;
}

// A sub-report's payload has the same form: [sub-code][data].
std::vector<uint8_t> SubMessage(uint8_t subCode, const uint8_t* data, size_t length) {
  return Message(subCode, data, length);
}

// Connect and write the whole message, logging a failed write. 0 or the error.
uint32_t OpenAndWrite(pipe::PipeConnection& connection, const std::vector<uint8_t>& message, bool oneWay) {
  if (uint32_t error = OpenReportPipe(connection, message, oneWay)) return error;
  if (uint32_t error = connection.Write(message, kGuiWriteTimeoutMs)) {
    LogPrint(LOG_ERR, "WriteFile failed\n");
    return error;
  }
  return 0;
}

// A report whose payload is one 32-bit value.
void NotifyGuiU32(int type, uint32_t value) {
  uint8_t payload[4];
  wire::PutU32(payload, value);
  NotifyGui(type, payload, sizeof payload);
}

}  // namespace

void SetReportPipeUser(std::optional<uid_t> uid) {
  ReportUser& user = TheReportUser();
  std::lock_guard lock(user.mutex);
  user.uid = uid;
}

uid_t ReportPipeUser() {
  ReportUser& user = TheReportUser();
  std::lock_guard lock(user.mutex);
  return user.uid ? *user.uid : ::geteuid();
}

uint32_t SendGuiMessage(const std::vector<uint8_t>& message) {
  pipe::PipeConnection connection;
  return OpenAndWrite(connection, message, true);
}

uint32_t TransactGuiPipe(const std::vector<uint8_t>& request, std::vector<uint8_t>& reply, size_t replyCapacity,
                         int timeoutMs) {
  reply.clear();
  pipe::PipeConnection connection;
  if (uint32_t error = OpenAndWrite(connection, request, false)) return error;
  const uint32_t error = connection.Read(reply, replyCapacity, timeoutMs);
  if (error != 0) reply.clear();
  return error;
}

int NotifyGui(int type, const uint8_t* payload, size_t length) {
  if (type < 1 || type > 14) {
    LogPrint(LOG_ERR, "Invalid command type\n");
    return -1;
  }
  if (length > kGuiMessageSize - 1 || (length != 0 && payload == nullptr)) {
    LogPrint(LOG_ERR, "Report of %d bytes does not fit the message\n", static_cast<int>(length));
    return -1;
  }
  SendGuiMessage(Message(type, payload, length));
  return 0;
}

int NotifyGuiEvent(uint32_t code) {
  NotifyGuiU32(VQ_EVENT, code);
  return 0;
}

int NotifyGuiPasswordResult(uint32_t value) {
  NotifyGuiU32(VQ_PASSWORD_RESULT, value);
  return 0;
}

int NotifyGuiSmsEvent(uint32_t step) {
  NotifyGuiU32(VQ_SMS_EVENT, step);
  return 0;
}

int NotifyGuiSub(uint8_t subCode, const uint8_t* data, size_t length) {
  const std::vector<uint8_t> payload = SubMessage(subCode, data, length);
  return NotifyGui(VQ_NOTIFY, payload.data(), payload.size());
}

uint32_t TransactGuiSub(uint8_t subCode, const uint8_t* data, size_t length, std::vector<uint8_t>& reply) {
  reply.clear();
  if (length + 2 > kGuiMessageSize || (length != 0 && data == nullptr)) {
    LogPrint(LOG_ERR, "Report of %d bytes does not fit the message\n", static_cast<int>(length));
    return platform::ERROR_INVALID_PARAMETER;
  }
  const std::vector<uint8_t> payload = SubMessage(subCode, data, length);
  return TransactGuiPipe(Message(VQ_NOTIFY, payload.data(), payload.size()), reply, kGuiMessageSize,
                         kGuiReplyTimeoutMs);
}

int SendPreferServerToGui(const uint8_t* data, size_t length, std::vector<uint8_t>* reply) {
  if (reply == nullptr) return -1;
  TransactGuiSub(VQ_NOTIFY_PREFER_SERVER, data, length, *reply);
  return 0;
}

void PipeGuiReports::NotifyGuiText(uint8_t subCode, std::string_view text) {
  NotifyGuiSub(subCode, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

bool PipeGuiReports::IsGuiProcessingProx() {
  std::vector<uint8_t> reply;
  if (TransactGuiSub(VQ_NOTIFY_QUERY_PROX, nullptr, 0, reply) != 0) return false;
  return reply.size() >= 6 && reply[0] == VQ_NOTIFY && reply[1] == VQ_NOTIFY_QUERY_PROX && wire::GetU32(&reply[2]) == 1;
}

}  // namespace brindleway
