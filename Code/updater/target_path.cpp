#include "updater/target_path.h"

#include <unistd.h>

#include <climits>

#include "platform/paths/paths.h"
#include "support/ascii_case.h"
#include "updater/constants.h"

namespace thimbleset {
namespace {

std::string CurrentFolder() {
  char buf[PATH_MAX];
  return ::getcwd(buf, sizeof buf) ? std::string(buf) : std::string();
}

bool IsPlainComponent(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find_first_of("/\\") == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

// LocalPath as folders joined by '/'; empty parts and "." dropped. Empty
// when it is absolute or climbs.
std::optional<std::string> RelativeFolders(std::string_view localPath) {
  if (!localPath.empty() && (localPath.front() == '/' || localPath.front() == '\\')) return std::nullopt;
  if (localPath.find('\0') != std::string_view::npos) return std::nullopt;
  std::string out;
  while (!localPath.empty()) {
    const size_t end = localPath.find_first_of("/\\");
    const std::string_view part = localPath.substr(0, end);
    localPath = end == std::string_view::npos ? std::string_view() : localPath.substr(end + 1);
    if (part.empty() || part == ".") continue;
    if (part == "..") return std::nullopt;
    if (!out.empty()) out.push_back('/');
    out.append(part);
  }
  return out;
}

}  // namespace

BaseFolders BaseFolders::OfThisProcess() {
  return BaseFolders{CurrentFolder(), platform::paths::WindowsDir(), platform::paths::SystemDir()};
}

std::optional<std::string> TargetPath(const BaseFolders& folders, std::string_view installDir,
                                      std::string_view localPath, std::string_view fileName) {
  if (!IsPlainComponent(fileName)) return std::nullopt;
  const std::optional<std::string> folder = RelativeFolders(localPath);
  if (!folder) return std::nullopt;
  const std::string* base = &folders.current;
  if (AsciiEqualNoCase(installDir, kInstallWindowsDir)) {
    base = &folders.windows;
  } else if (AsciiEqualNoCase(installDir, kInstallSystemDir)) {
    base = &folders.system;
  }
  if (base->empty()) return std::nullopt;
  std::string path = *base;
  if (path.back() != '/') path.push_back('/');
  if (!folder->empty()) path += *folder + "/";
  path.append(fileName);
  return path;
}

}  // namespace thimbleset
