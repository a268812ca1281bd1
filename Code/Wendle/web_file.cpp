// GetWebFile:
//   1. the user's temporary folder (private: its files run as root) and a
//      unique empty file "exeXXXXXX.tmp" in it, the download's target;
//   2. GetWebFileWithCookie into it; failure: "GetWebFile failed\n";
//   3. one rename onto "<folder>/<file name>"; a name in the way (access
//      denied, exists) is deleted first ("Remove file failed: %d\n"), any
//      other failure: "Rename file failed: %d\n";
//   4. start it through the shell with "/WebInstall" ("runas");
//   5. the temporary name is deleted on every path.
#include "Wendle/web_file.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/paths/paths.h"
#include "platform/shell/shell_execute.h"
#include "platform/ui/win32_ui.h"
#include "support/log.h"
#include "support/os_version.h"
#include "support/text_convert.h"
#include "support/ui_language.h"

namespace {

constexpr size_t kMaxPath = 260;
constexpr char kInstallerParameters[] = "/WebInstall";

bool Chinese() { return GetUILanguage() == LANGID_CHINESE_PRC; }

// The caller waits for the box as it would for a modal one; a page's
// thread (the web control's apartment) is not the host's UI thread.
void Box(platform::ui::UiHost& host, const std::string& text) {
  if (host.IsUiThread()) {
    host.MessageBox(nullptr, platform::ui::BoxText(text), "", platform::ui::MB_OK, {});
    return;
  }
  host.MessageBoxWait(platform::ui::BoxText(text), "", platform::ui::MB_OK);
}

// Removes the temporary name when it is still there.
class TempName {
 public:
  explicit TempName(std::string path) : path_(std::move(path)) {}
  ~TempName() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  TempName(const TempName&) = delete;
  TempName& operator=(const TempName&) = delete;
  const std::string& path() const { return path_; }
  void Moved() { path_.clear(); }

 private:
  std::string path_;
};

bool IsBareFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

}  // namespace

int GetWebFile(platform::ui::UiHost& host, const std::string& url, const std::string& user,
               const std::string& sessionId, const std::string& fileName, const char* pin,
               const WebDownloadOptions& options) {
  const std::string failed = Chinese() ? "GetWebFile失败\n" : "GetWebFile failed\n";
  const std::string folder = platform::paths::UserTempDir();
  const std::string finalPath = folder + "/" + fileName;
  if (folder.empty() || !IsBareFileName(fileName) || finalPath.size() > kMaxPath) {
    LogPrint(LOG_ERR, "No private temporary folder for the download [%d]\n", errno);
    Box(host, failed);
    return -1;
  }
  std::string pattern = folder + "/exeXXXXXX.tmp";
  const int fd = ::mkstemps(pattern.data(), 4);
  if (fd < 0) {
    Box(host, failed);
    return -1;
  }
  ::close(fd);
  TempName temp(pattern);

  const std::string ansiPin = pin != nullptr ? Utf8ToAnsi(pin) : std::string();
  if (GetWebFileWithCookie(url, user, sessionId, temp.path(), pin != nullptr ? ansiPin.c_str() : nullptr, options) !=
      0) {
    Box(host, failed);
    return -1;
  }

  while (::rename(temp.path().c_str(), finalPath.c_str()) != 0) {
    const int error = errno;
    if (error == EACCES || error == EEXIST || error == EISDIR || error == ENOTEMPTY) {
      if (::unlink(finalPath.c_str()) != 0 && ::rmdir(finalPath.c_str()) != 0) {
        const int removeError = errno;
        Box(host, FormatText(Chinese() ? "删除文件失败: %d\n" : "Remove file failed: %d\n", removeError));
        return -1;
      }
      continue;
    }
    Box(host, FormatText(Chinese() ? "重命名文件失败: %d\n" : "Rename file failed: %d\n", error));
    return -1;
  }
  temp.Moved();

  // Its start is the installer's business: a refused elevation is no failure here.
  const int started = platform::shell::ShellExecute(IsVistaOrLater() ? "runas" : "open", finalPath, kInstallerParameters);
  if (started != 0) LogPrint(LOG_ERR, "Start installer failed [%d]\n", started);
  return 0;
}
