// What later parts of the client application bring, one call each, so that
// start-up, the main window and the command line work (and are tested)
// before them. Every call left empty is a no-op logged on its first run;
// a part fills its own when it lands.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "client/store/user_info.h"
#include "platform/sync/event.h"

namespace client {

class ClientApp;

// A web login's connection as the pending profile's fields (UTF-8 texts);
// alias is the login text "user@host:port".
struct WebLoginProfile {
  std::string alias;
  std::string name;
  std::string host;
  std::string port;
  std::string pin;
  int loginMode = 0;
};

struct ClientHooks {
  using Call = std::function<void(ClientApp&)>;
  using Result = std::function<int(ClientApp&)>;
  // A server thread's body: serves until stop is set.
  using Server = std::function<void(ClientApp&, const platform::Event& stop)>;

  // Start-up and shutdown (Options dialog object, saved-connection store,
  // the change-password result event).
  Call createOptions;
  Call loadStore;
  Call destroyOptions;
  Call closePasswordResultEvent;

  // The two pipe servers, run on threads the application owns.
  Server wendlePipeServer;
  Server marrowlanternPipeServer;

  // The connect of a web start (0 started, -1 refused).
  Result connectToServerWithUsbKey;

  // Menu commands and what they run.
  Call reopenLoginDialog;
  Call closeSmsDialog;
  Call toggleAutoStart;
  Call toggleAutoLogin;
  Call onDeviceChange;
  std::function<void(ClientApp&, int templateId)> openDialog;

  // The connect path and the tunnel service's reports. Unless said, these
  // run on a worker (the connect thread, the report dispatcher) and must
  // not wait for the UI thread; the ones marked "UI" are posted to it.
  //
  // The login dialog hidden (UI); setLoginDialogIdle below.
  Call hideLoginDialog;
  // The pending profile: saved and freed once connected (UI), freed after
  // a failure (UI), and its proximity-detection choice (nothing: there is
  // none; true: detection is "1").
  Call savePendingProfile;
  Call freePendingProfile;
  std::function<std::optional<bool>(ClientApp&)> pendingProfileDetectsProximity;
  // A web login's profile made the pending one (the saved connection with
  // that login text lends its alias), with the auto-logon flag set in
  // g_conn when it is the current one with auto-login on (UI).
  std::function<void(ClientApp&, const WebLoginProfile&)> buildWebPendingProfile;
  // The update thread started for a connect (mode 2; UI), and its gate.
  std::function<void(ClientApp&, int mode)> startUpdateThread;
  Call setUpdateGate;
  // Preferred gateways: an offered address already known or not to be
  // taken; one offered (address and port in network order; 0: end of the
  // list); the stored list has an address left; start the switch from it;
  // the switch event (one attempt ended) is setSwitchEvent below.
  std::function<bool(ClientApp&, uint32_t address)> isProxIp;
  std::function<void(ClientApp&, uint32_t address, uint32_t port)> addPreferServer;
  std::function<bool(ClientApp&)> storedPreferListHasEntry;
  Call startPreferSwitch;
  // A connect that ended inside the client (refused, given up, no WMI, bad
  // name, the open not taken) without reaching the tunnel service; from the
  // UI thread or the connect thread, so it must not start a connect itself
  // (ConnectLauncher::PostStartConnect does).
  Call connectEndedInClient;
  // The portal URL opened (UI), the portal menu item with its title and the
  // Change Password item inserted (UI).
  std::function<void(ClientApp&, const std::string& url)> openUrl;
  std::function<void(ClientApp&, const std::string& title)> insertPortalItem;
  Call insertChangePasswordItem;
  // A password-change result other than 18; an SMS step.
  std::function<void(ClientApp&, uint32_t code)> onPasswordResult;
  std::function<void(ClientApp&, uint32_t step)> onSmsEvent;

  // The dialog registry: what opens each template a menu command names
  // (templates without an entry go to openDialog).
  using DialogOpener = std::function<void(ClientApp&)>;
  std::map<int, DialogOpener> dialogs;

  // The tray menu's marks at creation (non-zero: marked): the Run value
  // "Marrowlantern" exists, and the store's auto-login.
  Result hasAutoStart;
  Result autoLoginSet;
  // The update trigger's gate event, made anew with the main window.
  Call createUpdateGate;
  // The disconnected tail's steps of other parts: the login dialog idle
  // again, the preferred-gateway switch event set when it exists.
  std::function<void(ClientApp&, bool idle)> setLoginDialogIdle;
  Call setSwitchEvent;
  // A click on the balloon of a failed host check.
  Call showHostCheckErrorInfo;
  // The login dialog shown without bringing it forward: made (without
  // blocking) when none is open, an open one left as it is (UI).
  Call showLoginDialog;

  // Preferred gateways: the record of the gateway a switch connects to
  // becomes the pending profile (replacing it), so that event 13 saves the
  // connection that worked (UI).
  std::function<void(ClientApp&, const user_info&)> replacePendingProfile;
};

// Fills every empty call with a no-op that logs its name the first time it runs.
ClientHooks WithDefaults(ClientHooks hooks);

}  // namespace client
