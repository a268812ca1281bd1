// Pipe names held by another local user, for the tests of who may serve
// and reach a name in the shared pipe folder. Root only (the child switches
// users); the folders below VQ_ROOT must be reachable by that user.
#pragma once

#include <sys/types.h>

#include <string>

namespace vqtest {

// What ServeOnceAs saw.
inline constexpr int kForeignGotNothing = 0;  // a client connected and wrote nothing
inline constexpr int kForeignGotMessage = 1;  // a client wrote a message
inline constexpr int kForeignNobodyCame = 2;
inline constexpr int kForeignCannotServe = 3;

// In a child running as uid:uid, serves name (mode 0666) for one client,
// waiting at most waitMs for it. Blocks until the child ended.
int ServeOnceAs(uid_t uid, const std::string& name, int waitMs = 5000);

// Leaves a socket file of uid's that nobody serves, as a server that died.
// True when the file exists afterwards.
bool LeaveStaleSocketAs(uid_t uid, const std::string& name);

// True when the name's socket file exists.
bool PipeFileExists(const std::string& name);

// True when a socket is listening on the name's file. The file appears at
// bind, a moment before the server listens; a client that comes in between
// is refused, so tests that connect wait for this.
bool PipeServed(const std::string& name);

}  // namespace vqtest
