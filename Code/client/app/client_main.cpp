#include "client/app/client_main.h"

#include "client/app/client_app.h"
#include "platform/service/stop_signals.h"

namespace client {

int RunMarrowlantern(platform::ui::UiHost& host, const std::function<int()>& runLoop, int argc, char* argv[],
                     ClientHooks hooks) {
  ClientApp app(host, std::move(hooks));
  if (app.Start(argc, argv)) {
    platform::service::StopSignalWatcher signals([&app](int) { app.Exit(); });
    runLoop();
  }
  app.Shutdown();
  return 0;
}

}  // namespace client
