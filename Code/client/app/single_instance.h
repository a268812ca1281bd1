// One client application per machine: the instance mutex
// "Global\VardenlowMarrowlantern", which the web control tests to learn
// whether the client runs, and the hand-over of a second copy to the first
// over the web control pipe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace client {

// WriteWendlePipe: connects to "\\.\pipe\VardenlowWendle" (a busy pipe is
// waited for at most 5 s; a server that is neither root nor this user is
// refused) and writes the request; no reply is read. 0 when written, else -1.
int WriteWendlePipe(const std::vector<uint8_t>& request);

// Sends VQ_START (the single byte 14) to the running instance.
int SendStartToRunningInstance();

// SetLowIntegrityLabel for the instance mutex: its lock file becomes
// readable by every local user (0644), so that the web control, running in
// the user's sandboxed browser, can test it. True when applied.
bool SetLowIntegrityLabel();

}  // namespace client
