#include "updater/update_dialog_run.h"

#include "platform/paths/paths.h"
#include "support/ui_language.h"
#include "updater/constants.h"
#include "updater/progress_dialog.h"
#include "updater/updater_strings.h"

namespace thimbleset {
namespace {

constexpr uint32_t kStopPollMs = 200;

}  // namespace

int RunUpdateDialog(const UpdateDialogRun& run, DownloadQueue& queue, uint32_t installerLength,
                    const platform::Event* stop) {
  platform::ui::UiHost& host = run.host;
  const LanguageStrings strings = LoadUpdaterStrings(GetUILanguage());
  host.SetStrings([&strings](uint32_t id) { return strings.Find(id); });

  int exitCode = EXIT_FAILED;
  const bool opened = RunProgressDialog(host, queue, installerLength,
                                        ReplacedFileStarter::ForProgramDir(platform::paths::ModuleDir()),
                                        [&host, &exitCode](int code) {
                                          exitCode = code;
                                          host.Quit(code);
                                        });
  if (opened) {
    if (run.adorn)
      if (platform::ui::Dialog* d = host.FindDialog(IDD_PROGRESS)) run.adorn(*d);
    uint64_t stopTimer = 0;
    if (stop)
      stopTimer = host.StartTimer(kStopPollMs, [&host, stop] {
        if (stop->IsSet()) host.Quit(EXIT_FAILED);
      });
    run.loop();
    if (stopTimer) host.StopTimer(stopTimer);
  }
  // Before the strings and the host go: no worker outlives its item.
  queue.Clear();
  host.BeginShutdown();
  host.SetStrings({});
  return exitCode;
}

}  // namespace thimbleset
