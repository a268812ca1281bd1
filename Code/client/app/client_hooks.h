// What later parts of the client application bring, one call each, so that
// start-up, the main window and the command line work (and are tested)
// before them. Every call left empty is a no-op logged on its first run;
// a part fills its own when it lands.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/sync/event.h"

namespace client {

class ClientApp;

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

  // The tray and menu update after each status poll.
  Call onStatusTimer;

  // Menu commands and what they run.
  Call reopenLoginDialog;
  Call disconnectedTail;
  Call closeSmsDialog;
  Call toggleAutoStart;
  Call toggleAutoLogin;
  Call openPortalUrl;
  Call onLogoff;
  Call onDeviceChange;
  std::function<void(ClientApp&, int templateId)> openDialog;
  Call clearRetryFlags;
};

// Fills every empty call with a no-op that logs its name the first time it runs.
ClientHooks WithDefaults(ClientHooks hooks);

}  // namespace client
