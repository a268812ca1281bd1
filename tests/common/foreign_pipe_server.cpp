#include "common/foreign_pipe_server.h"

#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
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

bool PipeServed(const std::string& name) {
  if (!PipeFileExists(name)) return false;
  const std::string path = platform::paths::PipePath(name);
  const std::string leaf = path.substr(path.rfind('/'));
  // Num RefCount Protocol Flags Type St Inode Path; a listener has
  // __SO_ACCEPTCON (0x10000) in its flags. A long path is bound through
  // /proc/self/fd/N/<name>.
  std::ifstream table("/proc/net/unix");
  std::string line;
  std::getline(table, line);
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string num, refs, protocol, flags, type, state, inode, bound;
    if (!(fields >> num >> refs >> protocol >> flags >> type >> state >> inode >> bound)) continue;
    if ((std::stoul(flags, nullptr, 16) & 0x10000u) == 0) continue;
    if (bound == path) return true;
    if (bound.rfind("/proc/self/fd/", 0) == 0 && bound.size() > leaf.size() &&
        bound.compare(bound.size() - leaf.size(), leaf.size(), leaf) == 0)
      return true;
  }
  return false;
}

}  // namespace vqtest
