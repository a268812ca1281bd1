// A scheduling hint for a thread that wakes often for little work: when it
// wakes, it waits for the thread running on its processor to reach the end
// of its turn (or to sleep) instead of taking the processor from it at
// once. Its own work waits at most that turn; the running thread is spared
// a switch away and back for each wake-up.
#pragma once

namespace platform::process {

// For the calling thread; false when the system refused (the thread then
// runs as before).
bool WakeWithoutPreempting();

}  // namespace platform::process
