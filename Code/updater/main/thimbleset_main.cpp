// Thimbleset with its Qt progress dialog; the display is opened only when
// an update shows it.
#include "platform/ui/qt/qt_host.h"
#include "updater/qt/progress_view.h"
#include "updater/thimbleset.h"
#include "updater/update_dialog_run.h"

int main(int argc, char** argv) {
  return thimbleset::ThimblesetMain(
      argc, argv, [](thimbleset::DownloadQueue& queue, uint32_t installerLength, const platform::Event* stop) {
        platform::ui::QtHost host;
        thimbleset::UpdateDialogRun run{host, [&host] { return host.Run(); },
                                        [&host](platform::ui::Dialog& d) { thimbleset::AdornProgressView(host, d); }};
        return thimbleset::RunUpdateDialog(run, queue, installerLength, stop);
      });
}
