#include "platform/device/device_monitor.h"

#include <libudev.h>
#include <poll.h>

#include <cerrno>

#include <memory>

namespace platform::device {
namespace {

struct UdevDeleter {
  void operator()(udev* u) const { udev_unref(u); }
  void operator()(udev_monitor* m) const { udev_monitor_unref(m); }
  void operator()(udev_device* d) const { udev_device_unref(d); }
};
using UdevPtr = std::unique_ptr<udev, UdevDeleter>;
using MonitorPtr = std::unique_ptr<udev_monitor, UdevDeleter>;
using DevicePtr = std::unique_ptr<udev_device, UdevDeleter>;

}  // namespace

bool DeviceMonitor::Start(const std::string& subsystem, std::function<void()> onChange) {
  if (Running()) return false;
  UdevPtr context(udev_new());
  if (!context) return false;
  MonitorPtr monitor(udev_monitor_new_from_netlink(context.get(), "kernel"));
  if (!monitor) return false;
  if (udev_monitor_filter_add_match_subsystem_devtype(monitor.get(), subsystem.c_str(), nullptr) < 0 ||
      udev_monitor_enable_receiving(monitor.get()) < 0)
    return false;
  // Shared: std::function needs a copyable body.
  auto owned = std::make_shared<std::pair<UdevPtr, MonitorPtr>>(std::move(context), std::move(monitor));
  thread_.Start([owned, onChange = std::move(onChange)](const Event& stop) {
    udev_monitor* const m = owned->second.get();
    pollfd fds[2] = {{udev_monitor_get_fd(m), POLLIN, 0}, {stop.Fd(), POLLIN, 0}};
    while (!stop.IsSet()) {
      if (poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        break;
      }
      if (fds[1].revents != 0) break;
      if ((fds[0].revents & POLLIN) == 0) continue;
      // Null for a notice the filter dropped or that could not be read.
      if (DevicePtr device{udev_monitor_receive_device(m)}) onChange();
    }
  });
  return true;
}

void DeviceMonitor::Stop() { thread_.StopAll(); }

}  // namespace platform::device
