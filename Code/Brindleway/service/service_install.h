// The tunnel service as a service: install, remove, start and stop it
// through the service manager, and its service entry and control handler.
#pragma once

namespace brindleway {

// 0 on success, -1 after a log line.
int InstallService();
int UninstallService();
int StartOwnService();
int StopOwnService();
// Runs the service (blocks until it stopped); 0, or -1 when this process
// was not started as the service.
int RunServiceDispatcher();

// Bound of the start and stop waits.
inline constexpr int kServiceWaitLimitMs = 60000;
inline constexpr int kServicePollMs = 1000;

}  // namespace brindleway
