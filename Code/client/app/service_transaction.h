// One command on the tunnel service's pipe "\\.\pipe\VardenlowBrindleway":
// a fresh connection, one request, one reply within the time-out. The pipe
// folder is open to every user, so the server must run as root or as this
// user (else 5, logged).
//
// Results: 0 with reply set (empty when the service closed without
// answering), 2 when nobody serves the pipe, 997 when the reply did not
// come in time, 231 when the pipe stayed busy for 500 ms (never longer: the
// status poll runs on the UI thread), another Win32 error otherwise.
#pragma once

#include <cstdint>
#include <vector>

namespace client {

inline constexpr int kServiceReplyTimeoutMs = 500;
inline constexpr int kServiceBusyWaitMs = 500;

uint32_t TransactWithBrindleway(const std::vector<uint8_t>& request, std::vector<uint8_t>& reply,
                                int timeoutMs = kServiceReplyTimeoutMs);
// The same for the Options page; a missing pipe is logged ("Could not
// connect the Brindleway service"), a busy one is not.
uint32_t TransactWithBrindlewayLogged(const std::vector<uint8_t>& request, std::vector<uint8_t>& reply,
                                      int timeoutMs = kServiceReplyTimeoutMs);

}  // namespace client
