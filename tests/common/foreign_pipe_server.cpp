#include "common/foreign_pipe_server.h"

#include <unistd.h>

#include <thread>
#include <vector>

#include "common/run_as_user.h"
#include "platform/paths/paths.h"
#include "platform/pipe/pipe.h"
#include "platform/sync/event.h"

namespace vqtest {

int ServeOnceAs(uid_t uid, const std::string& name, int waitMs) {
  return RunAsUser(uid, uid, [&name, waitMs] {
    platform::pipe::PipeServer server;
    if (server.Create(name, 0666) != 0) return kForeignCannotServe;
    platform::Event stop(platform::Event::Reset::Manual);
    platform::Event done(platform::Event::Reset::Manual);
    std::thread limit([&] {
      if (!done.Wait(waitMs)) stop.Set();
    });
    int result = kForeignNobodyCame;
    platform::pipe::PipeConnection connection;
    std::vector<uint8_t> message;
    if (server.Accept(connection, stop) == 0 && connection.Read(message, platform::pipe::kMaxMessage, 3000) == 0)
      result = message.empty() ? kForeignGotNothing : kForeignGotMessage;
    done.Set();
    limit.join();
    return result;
  });
}

bool LeaveStaleSocketAs(uid_t uid, const std::string& name) {
  RunAsUser(uid, uid, [&name] {
    platform::pipe::PipeServer server;
    if (server.Create(name, 0666) != 0) return kForeignCannotServe;
    ::_exit(0);  // no destructor: the socket file stays
  });
  return PipeFileExists(name);
}

bool PipeFileExists(const std::string& name) {
  return ::access(platform::paths::PipePath(name).c_str(), F_OK) == 0;
}

}  // namespace vqtest
