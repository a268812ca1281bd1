#include "client/app/single_instance.h"

#include <sys/stat.h>
#include <unistd.h>

#include "client/app/client_constants.h"
#include "platform/paths/paths.h"
#include "platform/pipe/pipe.h"
#include "platform/win32/win32_error.h"
#include "support/log.h"

namespace client {
namespace {

constexpr int kWendleBusyWaitMs = 5000;
constexpr int kWendleWriteTimeoutMs = 5000;
constexpr mode_t kLowIntegrityMode = 0644;

}  // namespace

int WriteWendlePipe(const std::vector<uint8_t>& request) {
  platform::pipe::PipeConnection connection;
  const uint32_t error = platform::pipe::Connect(kWendlePipeName, connection, kWendleBusyWaitMs, ::getuid());
  if (error == platform::ERROR_ACCESS_DENIED) {
    LogPrint(LOG_ERR, "The web control pipe is served by another user\n");
    return -1;
  }
  if (error != 0) return -1;
  return connection.Write(request, kWendleWriteTimeoutMs) == 0 ? 0 : -1;
}

int SendStartToRunningInstance() { return WriteWendlePipe({VQ_START}); }

bool SetLowIntegrityLabel() {
  return ::chmod(platform::paths::GlobalLockPath(kInstanceMutexName).c_str(), kLowIntegrityMode) == 0;
}

}  // namespace client
