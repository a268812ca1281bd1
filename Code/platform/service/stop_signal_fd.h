// The signalfd behind StopSignalWatcher and the service dispatcher.
#pragma once

namespace platform::service::detail {

// A non-blocking, close-on-exec signalfd for SIGTERM, SIGINT and SIGHUP, or
// -1 with errno set. It sees them only while they are blocked in every
// thread (BlockStopSignals).
int OpenStopSignalFd();

// The next stop signal read from fd, or 0 when none is pending.
int TakeStopSignal(int fd);

}  // namespace platform::service::detail
