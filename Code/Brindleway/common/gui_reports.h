// Reports to the client application over "\\.\pipe\VardenlowMarrowlantern",
// which the client application serves. Every report opens the pipe anew; a
// client application that is not there, busy or slow costs the sender a
// bounded wait and a log line, nothing more.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "Brindleway/common/channel_ops.h"
#include "support/report_pipe.h"

namespace brindleway {

inline constexpr const char* kReportPipeName = "\\\\.\\pipe\\VardenlowMarrowlantern";

// Size of one report message and of a preferred-gateway entry.
inline constexpr size_t kGuiMessageSize = 4096;
inline constexpr size_t kPreferServerSize = 260;
// Wait for a transaction's answer.
inline constexpr int kGuiReplyTimeoutMs = 500;
// Longest wait for a busy pipe, and for a write to go through.
inline constexpr int kGuiBusyWaitMs = 2000;
inline constexpr int kGuiWriteTimeoutMs = 2000;

// Anyone may make names in the pipe folder, so reports (which carry the
// session cookie) go only to a server run by root or by the user whose
// client application sent the last accepted open; before any open, by the
// service's own user. A report refused that way is logged and not sent.
void SetReportPipeUser(std::optional<uid_t> uid);
uid_t ReportPipeUser();

// One-way write of one message; 0 or a Win32 code.
uint32_t SendGuiMessage(const std::vector<uint8_t>& message);
// Write one message and read one answer of at most replyCapacity bytes
// within timeoutMs; 0 (reply possibly empty) or a Win32 code (997: no answer).
uint32_t TransactGuiPipe(const std::vector<uint8_t>& request, std::vector<uint8_t>& reply, size_t replyCapacity,
                         int timeoutMs);

// [type][payload], one-way. -1 for a type outside 1..14 or a payload that
// does not fit the message; else 0.
int NotifyGui(int type, const uint8_t* payload, size_t length);
int NotifyGuiEvent(uint32_t code);
int NotifyGuiPasswordResult(uint32_t value);
int NotifyGuiSmsEvent(uint32_t step);
// VQ_NOTIFY with a sub-code and its data, one-way.
int NotifyGuiSub(uint8_t subCode, const uint8_t* data, size_t length);
// VQ_NOTIFY with a sub-code as a transaction (500 ms); 0 or a Win32 code.
uint32_t TransactGuiSub(uint8_t subCode, const uint8_t* data, size_t length, std::vector<uint8_t>& reply);
// [6][1][data]; -1 without a reply holder, else 0 (the reply may be empty).
int SendPreferServerToGui(const uint8_t* data, size_t length, std::vector<uint8_t>* reply);

class PipeGuiReports final : public GuiReports {
 public:
  void NotifyGuiEvent(uint32_t code) override { brindleway::NotifyGuiEvent(code); }
  void NotifyGuiPasswordResult(uint32_t value) override { brindleway::NotifyGuiPasswordResult(value); }
  void NotifyGuiText(uint8_t subCode, std::string_view text) override;
  bool IsGuiProcessingProx() override;
  void SendPreferServer(const uint8_t* data, size_t length, std::vector<uint8_t>& reply) override {
    SendPreferServerToGui(data, length, &reply);
  }
};

}  // namespace brindleway
