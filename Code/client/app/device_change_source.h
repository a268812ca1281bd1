// Where the main window's WM_DEVICECHANGE comes from: every notice of a USB
// device arriving, leaving or changing is posted to the UI thread as the
// window's device change. Started with the window, stopped (and its thread
// joined) when the window goes.
#pragma once

#include "platform/device/device_monitor.h"

namespace client {

class ClientApp;

inline constexpr char kDeviceChangeSubsystem[] = "usb";

class DeviceChangeSource {
 public:
  explicit DeviceChangeSource(ClientApp& app) : app_(app) {}
  // Without the kernel's notices (logged) the window gets none.
  void Start();
  void Stop() { monitor_.Stop(); }

 private:
  ClientApp& app_;
  platform::device::DeviceMonitor monitor_;
};

}  // namespace client
