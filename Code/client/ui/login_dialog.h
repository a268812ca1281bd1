// The login dialog (templates 111, 139, 115 by login mode): the user picks
// a saved connection or types one, and logs in.
//
//   open     topmost; the saved connections in 1053, the current one
//            selected and its fields filled; a login running (this
//            dialog's, a web start's, a connect in its readiness wait)
//            shows the busy state; else with AUTOLOGIN "1" Mode and Login
//            wait, greyed, for the automatic Login 500 ms later (timer 18)
//   1053     choosing (or typing the alias of) a saved connection fills the
//            fields, makes it the current one, and reopens the dialog with
//            its login mode's template when that differs
//   Mode     Login Mode (dialog 140); a changed mode reopens the dialog
//   Login    the checks (login_check.h); a failure shows its message, puts
//            the focus on the field and enables Mode and Login; else the
//            alias made unique where needed, the pending profile, the busy
//            state, the new g_conn (auto-logon flag when it is the current
//            connection with AUTOLOGIN "1") and the connect started
//   Cancel   hidden when idle; the connect cancelled and the channel
//            closed; idle, Connect enabled, Disconnect greyed, the
//            preferred-gateway switch told. The close box does the same and
//            always hides. The dialog stays, hidden.
//   test     (111, hidden) the dialog closed and Options opened
//
// UI thread only; the hooks that InstallLoginDialog fills post themselves
// there from other threads.
#pragma once

#include <cstdint>
#include <string>

#include "client/app/client_hooks.h"
#include "platform/sync/message_queue.h"
#include "platform/ui/dialog.h"

namespace client {

class ClientApp;

// What the automatic login posts to the dialog.
inline constexpr uint32_t kAutoLoginMessage = platform::WM_USER + 18;

class LoginDialogLogic : public platform::ui::DialogLogic {
 public:
  explicit LoginDialogLogic(ClientApp& app) : app_(app) {}
  void OnInit(platform::ui::Dialog& d) override;
  void OnCommand(platform::ui::Dialog& d, int id, int code) override;
  void OnTimer(platform::ui::Dialog& d, uint32_t id) override;
  intptr_t OnMessage(platform::ui::Dialog& d, uint32_t message, uintptr_t wParam, intptr_t lParam) override;

  // The steps of an opening, run again when the dialog is brought forward.
  void InitLoginDialog(platform::ui::Dialog& d);

 private:
  void SelectProfile(platform::ui::Dialog& d, const std::string& alias, bool fromList);
  void ChangeMode(platform::ui::Dialog& d);
  void Login(platform::ui::Dialog& d);
  void Refuse(platform::ui::Dialog& d, uint32_t message, int focus);
  // Cancel's steps after the hiding.
  void EndLogin(platform::ui::Dialog& d);
  bool AutoLoginOn() const;

  ClientApp& app_;
};

// The open login dialog (hidden ones too), else nullptr.
platform::ui::Dialog* FindLoginDialog(platform::ui::UiHost& host);

// Opens the dialog of the current login mode when none is open; an open
// one is, when bringForward, shown, brought forward and initialised again.
void ShowLoginDialog(ClientApp& app, bool bringForward);
// The given dialog (else the open one) ended.
void CloseLoginDialog(ClientApp& app, platform::ui::Dialog* dialog = nullptr);
// Closed and opened again with the current login mode's template.
void ReopenLoginDialog(ClientApp& app);
void HideLoginDialog(ClientApp& app);
// Idle: caption 430 and the fields, Mode and Login enabled; busy: caption
// 431 and the same greyed. Recorded even without an open dialog.
void SetLoginDialogIdle(ClientApp& app, bool idle);

// Fills 1053 with the saved connections' aliases in list order; the index
// of the last one equal to the current connection's alias (0: none).
int FillSavedConnectionCombo(platform::ui::Dialog& d);
// The fields from the saved connection of that alias; nothing when none.
void FillLoginFieldsFromProfile(platform::ui::Dialog& d, const std::string& alias);

// The login dialog's hooks, each left as the caller set it when filled.
void InstallLoginDialog(ClientHooks& hooks);

}  // namespace client
