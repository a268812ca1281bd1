// Pipe names held by another local user, for the tests of who may serve
// and reach a name in the shared pipe folder. Root only (the child switches
// users); the folders below VQ_ROOT must be reachable by that user.
#pragma once

#include <sys/types.h>

#include <string>

#include "platform/unique_fd.h"

namespace vqtest {

// What a ForeignPipeServer saw.
inline constexpr int kForeignGotNothing = 0;  // a client connected and wrote nothing
inline constexpr int kForeignGotMessage = 1;  // a client wrote a message
inline constexpr int kForeignNobodyCame = 2;
inline constexpr int kForeignCannotServe = 3;

// A forked child running as uid:uid serves name (mode 0666) for one client,
// waiting at most waitMs for it. The child makes system calls only: a fork
// beside other threads of the test (a library's, a server's) copies their
// locks but not their owners, and the child would wait on them forever.
class ForeignPipeServer {
 public:
  ForeignPipeServer(uid_t uid, const std::string& name, int waitMs = 5000);
  ~ForeignPipeServer();
  ForeignPipeServer(const ForeignPipeServer&) = delete;
  ForeignPipeServer& operator=(const ForeignPipeServer&) = delete;

  // Waits (at most 5 s) until the child listens; false when it cannot.
  bool Listening();
  // Waits for the child to end: what it saw.
  int Result();

 private:
  pid_t child_ = -1;
  platform::UniqueFd ready_;
  int result_ = -1;
};

// Leaves a socket file of uid's that nobody serves, as a server that died.
// True when the file exists afterwards.
bool LeaveStaleSocketAs(uid_t uid, const std::string& name);

// True when the name's socket file exists.
bool PipeFileExists(const std::string& name);

// True when a socket is listening on the name's file. The file appears at
// bind, a moment before the server listens; a client that comes in between
// is refused, so tests that connect to a server of their own wait for this.
bool PipeServed(const std::string& name);

}  // namespace vqtest
