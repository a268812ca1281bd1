// The web control pipe:
//   1. make the socket (0600); a failure is tried again every 50 ms until
//      stop, logged once for each error code
//   2. accept -> the peer's uid must be ours or 0 -> one tracked
//      ActivexHandleThread for the connection
//   3. stop: the accept and every client's read end; the clients are joined
#include "client/app/wendle_pipe_server.h"

#include <unistd.h>

#include <memory>
#include <set>
#include <system_error>
#include <utility>
#include <vector>

#include "client/app/activex_command.h"
#include "client/app/client_constants.h"
#include "platform/sync/owned_threads.h"
#include "platform/win32/win32_error.h"
#include "support/log.h"

namespace client {
namespace {

namespace pipe = platform::pipe;

constexpr mode_t kWendlePipeMode = 0600;
// The web control waits 300 ms for a reply; a peer that reads nothing for
// longer is gone.
constexpr int kWendleReplyTimeoutMs = 300;

// One log line for each kind of failure, however often it repeats.
class FailureLog {
 public:
  explicit FailureLog(const char* format) : format_(format) {}
  void Failed(uint32_t error) {
    if (logged_.insert(error).second) LogPrint(LOG_ERR, format_, static_cast<int>(error));
  }

 private:
  const char* format_;
  std::set<uint32_t> logged_;
};

bool PeerAllowed(const pipe::PipeConnection& connection) {
  const uid_t uid = connection.Peer().uid;
  if (uid == 0 || uid == ::geteuid()) return true;
  LogPrint(LOG_ERR, "Web control pipe: user %u refused\n", static_cast<unsigned>(uid));
  return false;
}

}  // namespace

void ActivexHandleThread(ClientApp& app, pipe::PipeConnection connection, const platform::Event& stop) {
  std::vector<uint8_t> request;
  for (;;) {
    if (connection.Read(request, pipe::kMaxMessage, platform::INFINITE_WAIT, &stop) != 0 || request.empty()) break;
    const std::vector<uint8_t> reply = ProcessActiveXCommand(app, request);
    if (connection.Write(reply, kWendleReplyTimeoutMs) != 0) break;
  }
  // A login's session id and PIN are not left in freed memory.
  std::fill(request.begin(), request.end(), 0);
}

void WendlePipeServerThread(ClientApp& app, const platform::Event& stop) {
  pipe::PipeServer server;
  FailureLog createFailures("CreateNamedPipe failed [%d]\n");
  for (;;) {
    const uint32_t error = server.Create(kWendlePipeName, kWendlePipeMode);
    if (error == 0) break;
    createFailures.Failed(error);
    if (stop.Wait(kWendleRetryMs)) return;
  }
  // Declared after the server: the clients are joined before it goes.
  platform::OwnedThreads clients;
  FailureLog acceptFailures("ConnectNamedPipe failed [%d]\n");
  for (;;) {
    pipe::PipeConnection connection;
    const uint32_t error = server.Accept(connection, stop);
    if (error == platform::ERROR_OPERATION_ABORTED) break;
    if (error != 0) {
      acceptFailures.Failed(error);
      if (stop.Wait(kWendleRetryMs)) break;
      continue;
    }
    if (!PeerAllowed(connection)) continue;
    auto held = std::make_shared<pipe::PipeConnection>(std::move(connection));
    try {
      clients.Start([&app, held](const platform::Event& clientStop) {
        ActivexHandleThread(app, std::move(*held), clientStop);
      });
    } catch (const std::system_error&) {
      LogPrint(LOG_ERR, "Create ActivexHandleThread failed [%d]\n", static_cast<int>(platform::ERROR_NOT_ENOUGH_MEMORY));
      break;
    }
  }
}

}  // namespace client
