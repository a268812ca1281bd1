// The replace step of a finished update download, and what follows it:
// "<target>.update" takes the target's place in one rename (the old file
// stays whole until then and keeps its permission bits for the new one),
// then the new file is run and/or registered when the list says so, run
// first.
#pragma once

#include <functional>
#include <string>

#include "updater/download_item.h"

namespace thimbleset {

// How a replaced file is started; both return 0 once the program runs.
struct ReplacedFileStarter {
  // ShellExecute "open" of the file, its parameters split into arguments.
  std::function<int(const std::string& file, const std::string& parameters)> execute;
  // vqregsvr /s FILE, from the program folder.
  std::function<int(const std::string& file)> registerFile;

  // The real ones; the registration tool in programDir.
  static ReplacedFileStarter ForProgramDir(const std::string& programDir);
};

// Renames the item's ".update" file over its target; false, the ".update"
// left in place, when that fails.
bool ReplaceTarget(const DownloadItem& item);

// Runs the replaced file, then registers it, as the item asks.
void StartReplaced(const DownloadItem& item, const ReplacedFileStarter& starter);

}  // namespace thimbleset
