#include "updater/file_replace.h"

#include <sys/stat.h>

#include <cstdio>

#include "platform/process/detached_process.h"
#include "platform/shell/shell_execute.h"

namespace thimbleset {
namespace {

constexpr char kRegisterTool[] = "vqregsvr";

}  // namespace

ReplacedFileStarter ReplacedFileStarter::ForProgramDir(const std::string& programDir) {
  ReplacedFileStarter starter;
  starter.execute = [](const std::string& file, const std::string& parameters) {
    return platform::shell::ShellExecute("open", file, parameters);
  };
  starter.registerFile = [tool = programDir + "/" + kRegisterTool](const std::string& file) {
    return static_cast<int>(platform::process::StartDetachedProcess({tool, "/s", file}, ""));
  };
  return starter;
}

bool ReplaceTarget(const DownloadItem& item) {
  const std::string update = item.LocalPath();
  struct stat old{};
  // A replaced program stays runnable, a private file private.
  if (::stat(item.targetPath.c_str(), &old) == 0 && S_ISREG(old.st_mode)) ::chmod(update.c_str(), old.st_mode & 07777);
  return std::rename(update.c_str(), item.targetPath.c_str()) == 0;
}

void StartReplaced(const DownloadItem& item, const ReplacedFileStarter& starter) {
  // Neither is waited for, and the dialog has no line for a start that
  // failed: the file is in place either way.
  if (item.execute && starter.execute) starter.execute(item.targetPath, item.executePar);
  if (item.registerFile && starter.registerFile) starter.registerFile(item.targetPath);
}

}  // namespace thimbleset
