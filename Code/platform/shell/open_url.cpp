#include "platform/shell/open_url.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string_view>

#include "platform/process/detached_process.h"
#include "platform/win32/win32_error.h"

namespace platform::shell {
namespace {

constexpr char kOpener[] = "xdg-open";

bool IsExecutableFile(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

std::string FindUrlOpener() {
  const char* path = std::getenv("PATH");
  std::string_view dirs = path ? path : "";
  while (!dirs.empty()) {
    const size_t colon = dirs.find(':');
    const std::string_view dir = dirs.substr(0, colon);
    dirs = colon == std::string_view::npos ? std::string_view() : dirs.substr(colon + 1);
    // An empty entry would mean the current folder: never a place to take
    // a program from.
    if (dir.empty() || dir.front() != '/') continue;
    std::string candidate = std::string(dir) + "/" + kOpener;
    if (IsExecutableFile(candidate)) return candidate;
  }
  return {};
}

uint32_t OpenUrl(const std::string& url) {
  const std::string opener = FindUrlOpener();
  if (opener.empty()) return ERROR_FILE_NOT_FOUND;
  return process::StartDetachedProcess({opener, url}, {});
}

}  // namespace platform::shell
