// Notices of devices arriving, leaving or changing in one kernel subsystem
// (WM_DEVICECHANGE), read from the kernel's uevents through libudev on a
// thread of the monitor's own. The kernel's own notices are taken, not the
// udev daemon's: they come whether or not a daemon runs, and a listener
// only needs to know that something changed.
//
// Threads: Start and Stop from one owner thread; onChange runs on the
// monitor's thread, once per notice, and must not call Stop. After Stop
// (and after the destructor) onChange is never called again.
#pragma once

#include <functional>
#include <string>

#include "platform/sync/owned_threads.h"

namespace platform::device {

class DeviceMonitor {
 public:
  DeviceMonitor() = default;
  ~DeviceMonitor() { Stop(); }
  DeviceMonitor(const DeviceMonitor&) = delete;
  DeviceMonitor& operator=(const DeviceMonitor&) = delete;

  // Watches subsystem ("usb"). False when the kernel's notices cannot be
  // received here (no uevent socket, as in some containers): nothing is
  // watched then. A second Start while running is refused.
  bool Start(const std::string& subsystem, std::function<void()> onChange);
  // Ends the watch and joins its thread.
  void Stop();
  bool Running() { return thread_.Running() > 0; }

 private:
  OwnedThreads thread_;
};

}  // namespace platform::device
