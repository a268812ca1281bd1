// A command's road: connect (absent: 2; busy: at most 500 ms, then 231; a
// server of another user: 5) -> one write -> one reply within the time-out
// (997 without) -> the connection is closed on every path.
#include "client/app/service_transaction.h"

#include <unistd.h>

#include "client/app/client_constants.h"
#include "platform/pipe/pipe.h"
#include "platform/win32/win32_error.h"
#include "support/log.h"

namespace client {
namespace {

namespace pipe = platform::pipe;

enum class Logging { Plain, Options };

uint32_t Transact(const std::vector<uint8_t>& request, std::vector<uint8_t>& reply, int timeoutMs, Logging logging) {
  reply.clear();
  pipe::PipeConnection connection;
  const uint32_t error = pipe::Connect(kBrindlewayPipeName, connection, kServiceBusyWaitMs, ::getuid());
  if (error == platform::ERROR_FILE_NOT_FOUND) {
    if (logging == Logging::Options) LogPrint(LOG_ERR, "Could not connect the Brindleway service\n");
    return error;
  }
  if (error == platform::ERROR_PIPE_BUSY) {
    if (logging == Logging::Plain) LogPrint(LOG_ERR, "1 Could not open pipe {dwError = %ld}\n", error);
    return error;
  }
  if (error != 0) {
    if (error == platform::ERROR_ACCESS_DENIED)
      LogPrint(LOG_ERR, "The command pipe is served by another user, nothing sent\n");
    LogPrint(LOG_ERR, "Could not open pipe {dwError = %ld}\n", error);
    return error;
  }
  if (uint32_t writeError = connection.Write(request, timeoutMs)) {
    LogPrint(LOG_ERR, "WriteFile failed\n");
    return writeError;
  }
  const uint32_t readError = connection.Read(reply, pipe::kMaxMessage, timeoutMs);
  if (readError != 0) reply.clear();
  return readError;
}

}  // namespace

uint32_t TransactWithBrindleway(const std::vector<uint8_t>& request, std::vector<uint8_t>& reply, int timeoutMs) {
  return Transact(request, reply, timeoutMs, Logging::Plain);
}

uint32_t TransactWithBrindlewayLogged(const std::vector<uint8_t>& request, std::vector<uint8_t>& reply,
                                      int timeoutMs) {
  return Transact(request, reply, timeoutMs, Logging::Options);
}

}  // namespace client
