#include "client/app/client_hooks.h"

#include <atomic>
#include <memory>
#include <type_traits>

#include "client/app/client_app.h"
#include "client/app/client_constants.h"
#include "client/app/connect_to_server.h"
#include "client/app/main_window.h"
#include "client/app/password_requests.h"
#include "client/app/portal_url.h"
#include "client/app/preferred_gateways.h"
#include "client/app/report_pipe_server.h"
#include "client/app/sms_auth.h"
#include "client/app/wendle_pipe_server.h"
#include "client/ui/change_password_dialog.h"
#include "client/ui/login_dialog.h"
#include "client/app/usb_key_watch.h"
#include "client/ui/network_info_dialog.h"
#include "client/ui/options_dialog.h"
#include "client/store/process_store.h"
#include "client/ui/small_windows.h"
#include "support/log.h"

namespace client {
namespace {

template <typename F>
void Default(F& call, const char* name) {
  if (call) return;
  // Logged once: the status poll alone would write a line every second.
  call = [name, logged = std::make_shared<std::atomic<bool>>(false)](auto&&... /*args*/) {
    if (!logged->exchange(true)) LogPrint(LOG_DEBUG, "%s: not available in this build\n", name);
    if constexpr (!std::is_void_v<typename F::result_type>) return typename F::result_type{};
  };
}

}  // namespace

ClientHooks WithDefaults(ClientHooks hooks) {
  // The parts this build has.
  if (!hooks.marrowlanternPipeServer) hooks.marrowlanternPipeServer = ServeReportPipe;
  if (!hooks.wendlePipeServer) hooks.wendlePipeServer = WendlePipeServerThread;
  if (!hooks.connectToServerWithUsbKey) hooks.connectToServerWithUsbKey = ConnectToServerWithUsbKey;
  // The preferred-gateway list and its switch.
  if (!hooks.isProxIp) hooks.isProxIp = [](ClientApp& app, uint32_t address) { return app.Preferred().IsProxIP(address); };
  if (!hooks.addPreferServer) {
    hooks.addPreferServer = [](ClientApp& app, uint32_t address, uint32_t port) {
      app.Preferred().AddPreferServIPandPort(address, port);
    };
  }
  if (!hooks.storedPreferListHasEntry) {
    hooks.storedPreferListHasEntry = [](ClientApp& app) { return app.Preferred().AddPreferServIPandPort(); };
  }
  if (!hooks.startPreferSwitch) hooks.startPreferSwitch = [](ClientApp& app) { app.Preferred().ProcessPreferServIP(true); };
  if (!hooks.setSwitchEvent) hooks.setSwitchEvent = [](ClientApp& app) { app.Preferred().SetSwitchEvent(); };
  if (!hooks.connectEndedInClient) {
    hooks.connectEndedInClient = [](ClientApp& app) { app.Preferred().ConnectEndedInClient(); };
  }
  // The USB-key watch on every device change of a USB-key login.
  if (!hooks.onDeviceChange) hooks.onDeviceChange = StartUsbKeyWatch;
  if (!hooks.openUrl) hooks.openUrl = [](ClientApp&, const std::string& url) { OpenGatewayUrl(url); };
  // The dispatcher has picked the UI language's title already.
  if (!hooks.insertPortalItem) {
    hooks.insertPortalItem = [](ClientApp& app, const std::string& title) {
      if (app.Window() != nullptr) app.Window()->InsertPortalItem(title, title);
    };
  }
  // The update trigger.
  if (!hooks.startUpdateThread) hooks.startUpdateThread = [](ClientApp& app, int mode) { app.Updates().Start(mode); };
  if (!hooks.setUpdateGate) hooks.setUpdateGate = [](ClientApp& app) { app.Updates().SetGate(); };
  if (!hooks.createUpdateGate) hooks.createUpdateGate = [](ClientApp& app) { app.Updates().CreateGate(); };
  // The dialogs this build has, unless a caller put its own in their place.
  hooks.dialogs.try_emplace(kNetworkInfoTemplate, [](ClientApp& app) { OpenNetworkInfo(app); });
  // Options (menu 40022 and the login dialog's "test") and the store it edits.
  hooks.dialogs.try_emplace(kOptionsTemplate, [](ClientApp& app) { OpenOptionsDialog(app); });
  if (!hooks.loadStore) {
    hooks.loadStore = [](ClientApp&) {
      if (LoadXmlConfig() != 0) LogPrint(LOG_ERR, "Load saved connections failed\n");
    };
  }
  // Change Password: its dialog, and the results the report pipe brings it.
  hooks.dialogs.try_emplace(IDD_CHANGE_PASSWORD, [](ClientApp& app) { OpenChangePasswordDialog(app); });
  if (!hooks.onPasswordResult) hooks.onPasswordResult = OnPasswordResult;
  // Log, Debug, About and the small helpers.
  AddSmallWindows(hooks);
  if (!hooks.insertChangePasswordItem) {
    hooks.insertChangePasswordItem = [](ClientApp& app) {
      if (app.Window() != nullptr) app.Window()->InsertChangePasswordItem();
    };
  }
  if (!hooks.onSmsEvent) hooks.onSmsEvent = [](ClientApp& app, uint32_t step) { CSmsAuth(app).ProcessBrindlewayCommand(step); };
  if (!hooks.closeSmsDialog) hooks.closeSmsDialog = [](ClientApp& app) { CSmsAuth(app).CloseSmsDialog(); };
  // The login dialog.
  InstallLoginDialog(hooks);
  Default(hooks.createOptions, "CreateOptions");
  Default(hooks.loadStore, "LoadStore");
  Default(hooks.destroyOptions, "DestroyOptions");
  Default(hooks.closePasswordResultEvent, "ClosePasswordResultEvent");
  Default(hooks.wendlePipeServer, "WendlePipeServerThread");
  Default(hooks.marrowlanternPipeServer, "MarrowlanternPipeServerThread");
  Default(hooks.connectToServerWithUsbKey, "ConnectToServerWithUsbKey");
  Default(hooks.reopenLoginDialog, "ReopenLoginDialog");
  Default(hooks.closeSmsDialog, "CloseSmsDialog");
  Default(hooks.toggleAutoStart, "ToggleAutoStart");
  Default(hooks.toggleAutoLogin, "ToggleAutoLogin");
  Default(hooks.onDeviceChange, "OnDeviceChange");
  Default(hooks.openDialog, "OpenDialog");
  Default(hooks.hideLoginDialog, "HideLoginDialog");
  Default(hooks.savePendingProfile, "SavePendingProfile");
  Default(hooks.freePendingProfile, "FreePendingProfile");
  Default(hooks.pendingProfileDetectsProximity, "PendingProfileDetectsProximity");
  Default(hooks.buildWebPendingProfile, "BuildPendingProfile");
  Default(hooks.startUpdateThread, "UpdateThread");
  Default(hooks.setUpdateGate, "SetUpdateGate");
  Default(hooks.isProxIp, "IsProxIP");
  Default(hooks.addPreferServer, "AddPreferServIPandPort");
  Default(hooks.storedPreferListHasEntry, "StoredPreferList");
  Default(hooks.startPreferSwitch, "ProcessPreferServIP");
  Default(hooks.connectEndedInClient, "ConnectEndedInClient");
  Default(hooks.openUrl, "OpenUrl");
  Default(hooks.insertPortalItem, "InsertPortalItem");
  Default(hooks.insertChangePasswordItem, "InsertChangePasswordItem");
  Default(hooks.onPasswordResult, "OnPasswordResult");
  Default(hooks.onSmsEvent, "OnSmsEvent");
  Default(hooks.hasAutoStart, "HasAutoStart");
  Default(hooks.autoLoginSet, "AutoLoginSet");
  Default(hooks.createUpdateGate, "CreateUpdateGate");
  Default(hooks.setLoginDialogIdle, "SetLoginDialogIdle");
  Default(hooks.setSwitchEvent, "SetSwitchEvent");
  Default(hooks.showHostCheckErrorInfo, "ShowHostCheckErrorInfo");
  Default(hooks.showLoginDialog, "ShowLoginDialog");
  Default(hooks.replacePendingProfile, "ReplacePendingProfile");
  return hooks;
}

}  // namespace client
