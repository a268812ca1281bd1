#include "client/app/client_main.h"

#include <signal.h>

#include "client/app/client_app.h"
#include "platform/service/stop_signals.h"

namespace client {

int RunMarrowlantern(platform::ui::UiHost& host, const std::function<int()>& runLoop, int argc, char* argv[],
                     ClientHooks hooks) {
  ClientApp app(host, std::move(hooks));
  if (app.Start(argc, argv)) {
    // The desktop ends a session's programs with SIGTERM or SIGHUP: that is
    // the log-off. SIGINT is a plain Exit.
    platform::service::StopSignalWatcher signals([&app](int signal) {
      if (signal == SIGINT) {
        app.Exit();
      } else {
        app.LogOff();
      }
    });
    runLoop();
  }
  app.Shutdown();
  return 0;
}

}  // namespace client
