// The hidden main window: the tray icon 1000 and its menu (109), the
// 1000 ms status timer 666, the menu commands, log-off and device changes,
// and the two pipe servers it starts at creation and stops and joins on
// Exit. UI thread only: a worker posts what it wants of the window.
#pragma once

#include <cstdint>
#include <string>

#include "client/app/device_change_source.h"
#include "client/app/tray_icon.h"
#include "client/app/tray_menu.h"
#include "platform/sync/owned_threads.h"
#include "platform/ui/menu_model.h"
#include "platform/ui/ui_host.h"

namespace client {

class ClientApp;

class MainWindow {
 public:
  explicit MainWindow(ClientApp& app);
  ~MainWindow();
  MainWindow(const MainWindow&) = delete;
  MainWindow& operator=(const MainWindow&) = delete;

  // WM_CREATE: tray icon and menu, the update gate, the timer, the first
  // command, pipe servers.
  void Create();
  // WM_DESTROY: menu and icon removed, timer stopped, the loop told to end.
  void Destroy();
  bool Created() const { return created_; }

  void OnCommand(int command);
  // WM_TIMER: the status poll, then OnStatusTimer.
  void OnTimer();
  // The tray and the menu brought up to the status just polled.
  void OnStatusTimer();
  void OnTray(platform::ui::TrayEvent event);
  // WM_QUERYENDSESSION with ENDSESSION_LOGOFF: the tunnel is closed; the
  // log-off goes on.
  void OnLogoff();
  // WM_DEVICECHANGE.
  void OnDeviceChange();

  // The items the tunnel service's reports bring (posted by the report
  // dispatcher): the portal item with its English and Chinese titles, and
  // Change Password. Each is inserted once; a repeat updates its text.
  void InsertPortalItem(const std::string& englishTitle, const std::string& chineseTitle);
  void InsertChangePasswordItem();

  platform::ui::MenuModel& Menu() { return menu_.Model(); }
  // Stops and joins the web control pipe server, then the report pipe
  // server (what Exit does after destroying the window).
  void StopPipeServers();

 private:
  void RunDialogCommand(int templateId);
  // Connect enabled, Disconnect grayed, the login dialog idle, the service
  // told not to log on again, the preferred-gateway switch released.
  void DisconnectedTail();
  void ClearRetryFlags();
  void Exit();

  ClientApp& app_;
  TrayIcon tray_;
  TrayMenu menu_;
  uint64_t timer_ = 0;
  bool created_ = false;
  platform::OwnedThreads wendleServer_;
  platform::OwnedThreads reportServer_;
  // WM_DEVICECHANGE's source, from Create to Destroy.
  DeviceChangeSource devices_;
};

}  // namespace client
