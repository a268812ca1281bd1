// Marrowlantern with its Qt windows and tray.
#include "client/app/client_main.h"
#include "client/app/client_strings.h"
#include "platform/service/stop_signals.h"
#include "platform/ui/qt/qt_host.h"

int main(int argc, char* argv[]) {
  // Before Qt or anything else starts a thread.
  platform::service::BlockStopSignals();
  // The host makes its QApplication from the program's path alone: Qt takes
  // options such as "-reverse" out of the argv it is given, and a password
  // may be one.
  // The tray's icons are res/ beside lang/ (the program's folder in the
  // build tree, its parent where installed).
  platform::ui::QtHost host(platform::SystemClock(), client::LanguageBaseDir() + "/res");
  return client::RunMarrowlantern(host, [&host] { return host.Run(); }, argc, argv);
}
