// thimbleset-headless: the updater without a display, the progress
// dialog's boxes and buttons answered from VQ_UI_SCRIPT (process tests).
#include "platform/ui/headless_host.h"
#include "updater/thimbleset.h"
#include "updater/update_dialog_run.h"

int main(int argc, char** argv) {
  return thimbleset::ThimblesetMain(
      argc, argv, [](thimbleset::DownloadQueue& queue, uint32_t installerLength, const platform::Event* stop) {
        platform::ui::HeadlessHost host;
        thimbleset::UpdateDialogRun run{host, [&host] { return host.Run(); }};
        return thimbleset::RunUpdateDialog(run, queue, installerLength, stop);
      });
}
