// The progress dialog's run on a user-interface host: the user's string
// table, dialog 102 over the queue, the host's loop until the dialog ends
// (or a stop signal comes), then the queue destroyed, which cancels and
// joins whatever still downloads.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/sync/event.h"
#include "platform/ui/dialog.h"
#include "updater/download_queue.h"

namespace thimbleset {

struct UpdateDialogRun {
  platform::ui::UiHost& host;
  std::function<int()> loop;  // the host's loop, until Quit
  // Once the dialog is open: what the host's view adds (icon, buttons).
  std::function<void(platform::ui::Dialog&)> adorn = {};
};

// The exit code: EXIT_UPDATED after OK with every file replaced, else
// EXIT_FAILED (Cancel, a failed file, a stop, no dialog).
int RunUpdateDialog(const UpdateDialogRun& run, DownloadQueue& queue, uint32_t installerLength,
                    const platform::Event* stop);

}  // namespace thimbleset
