#include "client/ui/small_windows.h"

#include "client/app/client_app.h"
#include "client/app/host_check_viewer.h"
#include "client/app/logon_toggles.h"
#include "client/app/main_window.h"
#include "client/store/process_store.h"
#include "client/ui/about_dialog.h"
#include "client/ui/debug_dialog.h"
#include "client/ui/log_dialog.h"
#include "platform/paths/paths.h"

namespace client {

void AddSmallWindows(ClientHooks& hooks) {
  hooks.dialogs.try_emplace(IDD_LOG, [](ClientApp& app) { OpenLogDialog(app); });
  hooks.dialogs.try_emplace(IDD_DEBUG, [](ClientApp& app) { OpenDebugDialog(app); });
  hooks.dialogs.try_emplace(IDD_ABOUT, [](ClientApp& app) { OpenAboutDialog(app.Host()); });
  if (!hooks.hasAutoStart) hooks.hasAutoStart = [](ClientApp&) { return HasClientAutoStart() ? 1 : 0; };
  if (!hooks.toggleAutoStart) {
    hooks.toggleAutoStart = [](ClientApp& app) {
      if (app.Window() != nullptr) ToggleAutoStart(app.Window()->Menu(), platform::paths::ModulePath());
    };
  }
  if (!hooks.toggleAutoLogin) {
    hooks.toggleAutoLogin = [](ClientApp& app) {
      if (app.Window() != nullptr) ToggleAutoLogin(app.Window()->Menu(), g_xmlConfig);
    };
  }
  if (!hooks.showHostCheckErrorInfo) hooks.showHostCheckErrorInfo = [](ClientApp&) { ShowHostCheckErrorInfo(); };
}

}  // namespace client
