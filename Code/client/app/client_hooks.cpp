#include "client/app/client_hooks.h"

#include <atomic>
#include <memory>
#include <type_traits>

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
  Default(hooks.createOptions, "CreateOptions");
  Default(hooks.loadStore, "LoadStore");
  Default(hooks.destroyOptions, "DestroyOptions");
  Default(hooks.closePasswordResultEvent, "ClosePasswordResultEvent");
  Default(hooks.wendlePipeServer, "WendlePipeServerThread");
  Default(hooks.marrowlanternPipeServer, "MarrowlanternPipeServerThread");
  Default(hooks.connectToServerWithUsbKey, "ConnectToServerWithUsbKey");
  Default(hooks.onStatusTimer, "OnStatusTimer");
  Default(hooks.reopenLoginDialog, "ReopenLoginDialog");
  Default(hooks.disconnectedTail, "DisconnectedTail");
  Default(hooks.closeSmsDialog, "CloseSmsDialog");
  Default(hooks.toggleAutoStart, "ToggleAutoStart");
  Default(hooks.toggleAutoLogin, "ToggleAutoLogin");
  Default(hooks.openPortalUrl, "OpenPortalUrl");
  Default(hooks.onLogoff, "OnLogoff");
  Default(hooks.onDeviceChange, "OnDeviceChange");
  Default(hooks.openDialog, "OpenDialog");
  Default(hooks.clearRetryFlags, "ClearRetryFlags");
  return hooks;
}

}  // namespace client
