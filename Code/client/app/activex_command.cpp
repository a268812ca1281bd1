#include "client/app/activex_command.h"

#include "client/app/client_app.h"
#include "client/app/client_constants.h"
#include "client/app/main_window.h"
#include "support/conn_info_codec.h"
#include "support/log.h"
#include "support/wire.h"

namespace client {
namespace {

using Bytes = std::vector<uint8_t>;

void AppendU32(Bytes& reply, uint32_t value) {
  const size_t at = reply.size();
  reply.resize(at + 4);
  wire::PutU32(&reply[at], value);
}

// [sub] and its answer, after the reply's first byte.
void AnswerQuery(ClientApp& app, uint8_t sub, Bytes& reply) {
  switch (sub) {
    case VQ_WEB_QUERY_USER: {
      const std::string user = app.GetConnUser();
      reply.push_back(sub);
      AppendU32(reply, static_cast<uint32_t>(user.size()));
      reply.insert(reply.end(), user.begin(), user.end());
      break;
    }
    case VQ_WEB_QUERY_SESSION:
      reply.push_back(sub);
      AppendU32(reply, static_cast<uint32_t>(app.GetSessionState()));
      break;
    default:
      break;
  }
}

void WebLogin(ClientApp& app, const Bytes& request, Bytes& reply) {
  conn_info record;
  // The record is read at fixed places: a short one or a text without its
  // end would be taken from bytes that are not there.
  if (!DecodeConnInfo(request.data() + 1, request.size() - 1, record)) {
    LogPrint(LOG_ERR, "ProcessActiveXCommand::Invalid web login of %u bytes\n",
             static_cast<unsigned>(request.size()));
    AppendU32(reply, static_cast<uint32_t>(-1));
    return;
  }
  // g_conn is read by the connect path and the dialogs on the UI thread:
  // it is replaced there, together with the status test.
  bool taken = false;
  int result = -1;
  const bool ran = app.Host().Send([&app, &record, &taken, &result] {
    if (app.GetChannelStatus() != kStatusDisconnected) return;
    taken = true;
    app.SetSessionState(0);
    record.init |= CONN_FLAG_NEW_SERVER_CERT;
    record.auth_type = AUTH_TYPE_COOKIE;
    app.SetConn(record);
    result = app.Hooks().connectToServerWithUsbKey(app);
  });
  record = conn_info{};  // the session id and PIN go no further
  if (ran && !taken) {
    LogPrint(LOG_INFO, "ProcessActiveXCommand::User has login!\n");
    return;
  }
  // A login cut off by the shutdown is refused.
  AppendU32(reply, static_cast<uint32_t>(result));
}

void Start(ClientApp& app, const Bytes& request, Bytes& reply) {
  app.Host().Send([&app] {
    MainWindow* window = app.Window();
    if (window == nullptr || !window->Created()) return;
    window->OnCommand(app.GetChannelStatus() == kStatusDisconnected ? ID_CONNECT : ID_NETWORK_INFORMATION);
  });
  LogPrint(LOG_INFO, "VQ_START OK\n");
  if (request.size() >= 2) AnswerQuery(app, request[1], reply);
}

}  // namespace

std::vector<uint8_t> ProcessActiveXCommand(ClientApp& app, const std::vector<uint8_t>& request) {
  if (request.empty()) return {};
  Bytes reply{request[0]};
  switch (request[0]) {
    case VQ_WEB_LOGIN:
      WebLogin(app, request, reply);
      break;
    case VQ_WEB_DISCONNECT:
      app.Host().Post([&app] {
        if (MainWindow* window = app.Window(); window != nullptr && window->Created()) window->OnCommand(ID_DISCONNECT);
      });
      AppendU32(reply, 0);
      break;
    case VQ_WEB_STATUS:
      AppendU32(reply, 0);
      AppendU32(reply, static_cast<uint32_t>(app.GetChannelStatus()));
      break;
    case VQ_WEB_QUERY:
      if (request.size() >= 2) AnswerQuery(app, request[1], reply);
      break;
    case VQ_START:
      Start(app, request, reply);
      break;
    default:
      break;
  }
  return reply;
}

}  // namespace client
