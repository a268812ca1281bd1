// A process as the status file names it: pid plus start time, since a pid
// alone may belong to an unrelated process by the time it is read.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>

namespace platform::service::detail {

// Start time (clock ticks since boot, /proc/<pid>/stat field 22) of a
// process, or nothing when it does not exist.
std::optional<uint64_t> ProcessStartTime(pid_t pid);

// True when pid still names the process that started at startTime and has
// not ended. An ended child of ours is reaped on the way.
bool IsProcessAlive(pid_t pid, uint64_t startTime);

}  // namespace platform::service::detail
