// The tray icon 1000 and what it shows of the tunnel service's status: the
// icon and the tip "<product title> - <status text>", and a balloon for
// each change of status. UI thread only.
#pragma once

#include <cstdint>

namespace client {

class ClientApp;

class TrayIcon {
 public:
  explicit TrayIcon(ClientApp& app) : app_(app) {}

  // AddTrayIcon: icon 102 with the disconnected tip.
  void Add();
  // After the shell's tray came back: added again, then brought up to date.
  void ReAdd();
  // UpdateTrayIcon, on every status tick.
  void Update();
  void Remove();

 private:
  ClientApp& app_;
  // Initially the status a window starts with; the counters of the last tick.
  int previousStatus_ = 1;
  uint32_t previousReceived_ = 0;
  uint32_t previousSent_ = 0;
};

}  // namespace client
