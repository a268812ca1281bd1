// The hidden main window: the tray icon and its menu (109), the 1000 ms
// status timer 666, the menu commands, and the two pipe servers it starts
// at creation and stops and joins on Exit. UI thread only.
#pragma once

#include <cstdint>

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

  // WM_CREATE: tray icon and menu, timer, the first command, pipe servers.
  void Create();
  // WM_DESTROY: menu and icon removed, timer stopped, the loop told to end.
  void Destroy();
  bool Created() const { return created_; }

  void OnCommand(int command);
  void OnTimer();
  void OnTray(platform::ui::TrayEvent event);
  // WM_QUERYENDSESSION with ENDSESSION_LOGOFF.
  void OnLogoff();

  platform::ui::MenuModel& Menu() { return menu_; }
  // Stops and joins the web control pipe server, then the report pipe
  // server (what Exit does after destroying the window).
  void StopPipeServers();

 private:
  void ShowStatusInMenu(int status);
  void RunDialogCommand(int templateId);

  ClientApp& app_;
  platform::ui::MenuModel menu_;
  uint64_t timer_ = 0;
  bool created_ = false;
  platform::OwnedThreads wendleServer_;
  platform::OwnedThreads reportServer_;
};

}  // namespace client
