#include "common/foreign_pipe_server.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/run_as_user.h"
#include "platform/paths/paths.h"
#include "platform/pipe/pipe.h"
#include "platform/pipe/pipe_address.h"

namespace vqtest {

namespace {

// The child's whole work, in async-signal-safe calls only; ends the child
// with what it saw.
[[noreturn]] void Serve(uid_t uid, const platform::pipe::detail::SocketAddress& address, int folder,
                        const char* leaf, int ready, int waitMs) {
  if (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0) ::_exit(kForeignCannotServe);
  const int sock = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (sock < 0 || ::bind(sock, address.get(), address.length) != 0) ::_exit(kForeignCannotServe);
  if (::listen(sock, 4) != 0 || ::fchmodat(folder, leaf, 0666, 0) != 0) {
    ::unlinkat(folder, leaf, 0);
    ::_exit(kForeignCannotServe);
  }
  const char word = 1;
  (void)!::write(ready, &word, 1);
  int result = kForeignNobodyCame;
  pollfd waiting{sock, POLLIN, 0};
  if (::poll(&waiting, 1, waitMs) == 1) {
    const int connection = ::accept4(sock, nullptr, nullptr, SOCK_CLOEXEC);
    pollfd reading{connection, POLLIN, 0};
    char byte;
    if (connection >= 0 && ::poll(&reading, 1, 3000) == 1) {
      const ssize_t got = ::recv(connection, &byte, 1, 0);
      if (got == 0) result = kForeignGotNothing;
      if (got > 0) result = kForeignGotMessage;
    }
  }
  ::unlinkat(folder, leaf, 0);
  ::_exit(result);
}

}  // namespace

ForeignPipeServer::ForeignPipeServer(uid_t uid, const std::string& name, int waitMs) {
  // Everything that allocates is done here, before the fork.
  const std::string path = platform::paths::PipePath(name);
  const std::string leaf = path.substr(path.rfind('/') + 1);
  platform::UniqueFd folder(::open(platform::pipe::detail::FolderOf(path).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  platform::pipe::detail::SocketAddress address;
  int ends[2];
  if (!folder.valid() || platform::pipe::detail::MakeAddress(path, folder, address) != 0 ||
      ::pipe2(ends, O_CLOEXEC) != 0) {
    result_ = kForeignCannotServe;
    return;
  }
  ready_.reset(ends[0]);
  platform::UniqueFd writeEnd(ends[1]);
  child_ = ::fork();
  if (child_ == 0) Serve(uid, address, folder.get(), leaf.c_str(), writeEnd.get(), waitMs);
  if (child_ < 0) result_ = kForeignCannotServe;
}

ForeignPipeServer::~ForeignPipeServer() { Result(); }

bool ForeignPipeServer::Listening() {
  if (child_ <= 0 || !ready_.valid()) return false;
  pollfd waiting{ready_.get(), POLLIN, 0};
  char word = 0;
  const bool listening = ::poll(&waiting, 1, 5000) == 1 && ::read(ready_.get(), &word, 1) == 1;
  ready_.reset();
  return listening;
}

int ForeignPipeServer::Result() {
  if (child_ <= 0) return result_;
  int status = 0;
  while (::waitpid(child_, &status, 0) < 0) {
    if (errno != EINTR) break;
  }
  child_ = -1;
  result_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result_;
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
