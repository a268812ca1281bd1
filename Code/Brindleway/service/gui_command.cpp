#include "Brindleway/service/gui_command.h"

#include <cstring>

#include "Brindleway/common/constants.h"
#include "Brindleway/common/debug_trace.h"
#include "Brindleway/common/gui_reports.h"
#include "platform/win32/win32_error.h"
#include "support/conn_info_codec.h"
#include "support/log.h"
#include "support/wire.h"

namespace brindleway {
namespace {

void AppendResult(std::vector<uint8_t>& reply, uint32_t result) {
  uint8_t bytes[4];
  wire::PutU32(bytes, result);
  reply.insert(reply.end(), bytes, bytes + 4);
}

// A request too short for its command, or with a text field that runs past
// its place, is refused without changing anything.
uint32_t Refuse(const char* what) {
  LogPrint(LOG_ERR, "Refused malformed %s command\n", what);
  return platform::ERROR_INVALID_PARAMETER;
}

}  // namespace

std::vector<uint8_t> EncodeInqueryReply(uint32_t channelState, const ChannelStatus& s) {
  std::vector<uint8_t> reply(kInqueryReplySize, 0);
  uint8_t* p = reply.data();
  p[0] = VQ_INQUERY;
  wire::PutU32(p + 1, 0);
  // Addresses keep the byte order the socket layer holds them in.
  std::memcpy(p + 5, &s.gatewayAddress, 4);
  std::memcpy(p + 9, &s.localAddress, 4);
  wire::PutU32(p + 13, s.packetsReceived);
  wire::PutU32(p + 17, s.packetsSent);
  wire::PutU32(p + 21, s.bytesReceived);
  wire::PutU32(p + 25, s.bytesSent);
  wire::PutF64(p + 29, s.connectedSeconds);
  wire::PutU32(p + 37, channelState);
  wire::PutU16(p + 41, s.cipherId);
  wire::PutU16(p + 43, s.hashId);
  wire::PutU16(p + 45, s.protocolId);
  wire::PutU16(p + 47, s.compression0);
  for (int i = 0; i < 4; ++i) wire::PutU32(p + 49 + 4 * i, s.compression[i]);
  return reply;
}

void ProcessGuiCommand(const std::vector<uint8_t>& request, std::vector<uint8_t>& reply, GuiCommandTarget& target) {
  reply.clear();
  if (request.empty()) {
    LogPrint(LOG_ERR, "Null out buffer pointer\n");
    return;
  }
  const uint8_t command = request[0];
  const uint8_t* body = request.data() + 1;
  const size_t bodyLength = request.size() - 1;
  reply.push_back(command);
  ChannelContext& ctx = target.context;

  switch (command) {
    case VQ_OPEN_CHANNEL: {
      LogPrint(LOG_INFO, "Receive open SSL channel command\n");
      conn_info info;
      if (!DecodeConnInfo(body, bodyLength, info)) {
        AppendResult(reply, Refuse("open SSL channel"));
        return;
      }
      // The record becomes g_conn_info only when the channel thread accepts
      // the open, so a refused open leaves the running channel's record.
      target.postToChannel(WM_CHANNEL_OPEN, 0, std::move(info));
      AppendResult(reply, 0);
      return;
    }
    case VQ_CLOSE_CHANNEL:
      LogPrint(LOG_INFO, "Receive close SSL channel command\n");
      ctx.connInfo.Set(conn_info{});
      target.postToChannel(WM_CHANNEL_CLOSE, 0, {});
      AppendResult(reply, 0);
      return;
    case VQ_INQUERY:
      ctx.guiWatchdogCount = kGuiWatchdogStart;
      DebugTrace(TRACE_TIMING, "Receive keep-alive message from GUI\n");
      reply = EncodeInqueryReply(ctx.channelState.load(), target.session.QueryStatus());
      return;
    case VQ_SET_AUTO_LOGON: {
      if (bodyLength < 2) {
        AppendResult(reply, Refuse("auto logon"));
        return;
      }
      const bool on = wire::GetU16(body) != 0;
      ctx.connInfo.Update([on](conn_info& info) {
        if (on) info.init |= CONN_FLAG_AUTO_LOGON;
        else info.init &= ~CONN_FLAG_AUTO_LOGON;
      });
      AppendResult(reply, 0);
      return;
    }
    case VQ_SET_TRACE_MASK:
      if (bodyLength < 4) {
        AppendResult(reply, Refuse("trace mask"));
        return;
      }
      g_dwDebugTraceMask = wire::GetU32(body);
      AppendResult(reply, 0);
      return;
    case VQ_CHANGE_PASSWORD: {
      change_pwd_info info;
      if (!DecodeChangePwdInfo(body, bodyLength, info)) {
        AppendResult(reply, Refuse("change password"));
        return;
      }
      LogPrint(LOG_INFO, "Receive change password command\n");
      target.postToChannel(WM_CHANNEL_NEW_PASSWORD, 0, std::move(info));
      AppendResult(reply, 0);
      return;
    }
    case VQ_SMS_AUTH: {
      LogPrint(LOG_INFO, "Receive VQ_SMS_AUTH command\n");
      // The code ends at its terminator or at the end of the message.
      const uint8_t* end = static_cast<const uint8_t*>(std::memchr(body, 0, bodyLength));
      std::string code(reinterpret_cast<const char*>(body), end ? static_cast<size_t>(end - body) : bodyLength);
      target.postToChannel(WM_CHANNEL_SMS_AUTH, 0, std::move(code));
      AppendResult(reply, 0);
      return;
    }
    case VQ_SMS_AUTH_REQ:
      LogPrint(LOG_INFO, "Receive VQ_SMS_AUTH_REQ command\n");
      target.postToChannel(WM_CHANNEL_SMS_AUTH_REQ, 0, {});
      AppendResult(reply, 0);
      return;
    default:
      return;  // unknown: the echoed command byte alone
  }
}

void GuiCommandThread(platform::pipe::PipeConnection connection, const platform::Event& stop,
                      GuiCommandTarget& target) {
  std::vector<uint8_t> request;
  std::vector<uint8_t> reply;
  for (;;) {
    const uint32_t error = connection.Read(request, platform::pipe::kMaxMessage, platform::INFINITE_WAIT, &stop);
    if (error == platform::ERROR_MORE_DATA) {
      LogPrint(LOG_ERR, "Command message longer than %d bytes, connection closed\n",
               static_cast<int>(platform::pipe::kMaxMessage));
      break;
    }
    if (error != 0 || request.empty()) break;
    try {
      ProcessGuiCommand(request, reply, target);
    } catch (...) {
      LogPrint(LOG_ERR, "GuiCommandThread has exception\n");
      break;
    }
    // The reports of this connection go to the user who asked for it.
    if (request[0] == VQ_OPEN_CHANNEL && reply.size() >= 5 && wire::GetU32(&reply[1]) == 0)
      SetReportPipeUser(connection.Peer().uid);
    if (connection.Write(reply, kCommandWriteTimeoutMs) != 0) break;
  }
  connection.Close();
}

}  // namespace brindleway
