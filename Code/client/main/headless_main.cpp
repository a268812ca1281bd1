// marrowlantern-headless: the client application without a display, its
// boxes and dialogs answered from VQ_UI_SCRIPT (process tests).
#include "client/app/client_main.h"
#include "platform/service/stop_signals.h"
#include "platform/ui/headless_host.h"

int main(int argc, char* argv[]) {
  platform::service::BlockStopSignals();
  platform::ui::HeadlessHost host;
  return client::RunMarrowlantern(host, [&host] { return host.Run(); }, argc, argv);
}
