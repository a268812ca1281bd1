// The tray menu (menu 109's first submenu) and the state of its items:
// Connect and Disconnect by the status, and the two items the tunnel
// service's reports bring at run time, the portal item (40023) and Change
// Password (40024). UI thread only; a worker posts its change.
//
// A run-time item is inserted at its place only when it is absent (a
// repeated report updates its text) and removed by its command, so the
// fixed items never move out of place.
#pragma once

#include <string>

#include "platform/ui/menu_model.h"

namespace client {

class ClientApp;

class TrayMenu {
 public:
  explicit TrayMenu(ClientApp& app) : app_(app) {}

  // CreateTrayMenu: the 11 items, the auto-start and auto-login marks,
  // no Change Password, Connect and Disconnect by the status.
  void Create();
  platform::ui::MenuModel& Model() { return menu_; }

  // Connect enabled, Disconnect grayed.
  void ShowIdle();
  // UpdateMenuState, after each tray update.
  void Update(int status);

  // The portal item with the title of the UI language (Chinese for 2052,
  // else English), enabled; the portal-item flag set.
  void InsertPortalItem(const std::string& englishTitle, const std::string& chineseTitle);
  // Change Password in the UI language; the change-password-item flag set.
  void InsertChangePasswordItem();

 private:
  void RemovePortalItem();

  ClientApp& app_;
  platform::ui::MenuModel menu_;
};

}  // namespace client
