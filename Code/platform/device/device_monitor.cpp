#include "platform/device/device_monitor.h"

#include <libudev.h>
#include <poll.h>

#include <cerrno>

#include <memory>
#include <mutex>

namespace platform::device {
namespace {

// libudev keeps process-wide state without a lock: its hash tables copy a
// random key it draws lazily into a static, so two monitors' threads making
// contexts or receiving notices at once race on it. Every call into libudev
// here holds this; onChange runs outside it.
std::mutex& LibudevMutex() {
  static std::mutex mutex;
  return mutex;
}

template <typename F>
auto Locked(F&& call) {
  std::lock_guard lock(LibudevMutex());
  return call();
}

struct UdevDeleter {
  void operator()(udev* u) const {
    Locked([u] { udev_unref(u); });
  }
  void operator()(udev_monitor* m) const {
    Locked([m] { udev_monitor_unref(m); });
  }
  void operator()(udev_device* d) const {
    Locked([d] { udev_device_unref(d); });
  }
};
using UdevPtr = std::unique_ptr<udev, UdevDeleter>;
using MonitorPtr = std::unique_ptr<udev_monitor, UdevDeleter>;
using DevicePtr = std::unique_ptr<udev_device, UdevDeleter>;

}  // namespace

bool DeviceMonitor::Start(const std::string& subsystem, std::function<void()> onChange) {
  if (Running()) return false;
  UdevPtr context(Locked([] { return udev_new(); }));
  if (!context) return false;
  MonitorPtr monitor(Locked([&context] { return udev_monitor_new_from_netlink(context.get(), "kernel"); }));
  if (!monitor) return false;
  const bool receiving = Locked([&monitor, &subsystem] {
    return udev_monitor_filter_add_match_subsystem_devtype(monitor.get(), subsystem.c_str(), nullptr) >= 0 &&
           udev_monitor_enable_receiving(monitor.get()) >= 0;
  });
  if (!receiving) return false;
  const int fd = Locked([&monitor] { return udev_monitor_get_fd(monitor.get()); });
  // Shared: std::function needs a copyable body.
  auto owned = std::make_shared<std::pair<UdevPtr, MonitorPtr>>(std::move(context), std::move(monitor));
  thread_.Start([owned, fd, onChange = std::move(onChange)](const Event& stop) {
    udev_monitor* const m = owned->second.get();
    pollfd fds[2] = {{fd, POLLIN, 0}, {stop.Fd(), POLLIN, 0}};
    while (!stop.IsSet()) {
      if (poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        break;
      }
      if (fds[1].revents != 0) break;
      if ((fds[0].revents & (POLLHUP | POLLNVAL)) != 0) break;
      if (fds[0].revents == 0) continue;
      // Read on any event, POLLERR alone too: the socket's pending error
      // (notices lost to a full receive buffer) clears only when read, and
      // until then poll returns at once.
      // Null for a notice the filter dropped, for that error, or for one
      // that could not be read.
      if (DevicePtr device{Locked([m] { return udev_monitor_receive_device(m); })}) onChange();
    }
  });
  return true;
}

void DeviceMonitor::Stop() { thread_.StopAll(); }

}  // namespace platform::device
