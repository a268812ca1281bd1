#include "platform/process/desktop_user.h"

#include <strings.h>

#include <cstdlib>
#include <mutex>

#include "platform/process/process_snapshot.h"

namespace platform::process {
namespace {

std::mutex g_peerMutex;
std::optional<uid_t> g_peerUid;

const char* const kDefaultShells[] = {
    "gnome-shell", "plasmashell", "kwin_wayland", "kwin_x11", "xfce4-session", "mate-session",
    "cinnamon",    "lxqt-session", "lxsession",   "budgie-wm", "sway",         "weston",
};

bool SameName(const std::string& a, const std::string& b) {
  return !a.empty() && ::strcasecmp(a.c_str(), b.c_str()) == 0;
}

}  // namespace

std::vector<std::string> DesktopShellNames() {
  const char* configured = std::getenv("VQ_DESKTOP_SHELLS");
  std::vector<std::string> names;
  if (configured && configured[0]) {
    std::string list(configured);
    size_t start = 0;
    while (start <= list.size()) {
      size_t end = list.find(',', start);
      if (end == std::string::npos) end = list.size();
      std::string name = list.substr(start, end - start);
      const size_t first = name.find_first_not_of(" \t");
      const size_t last = name.find_last_not_of(" \t");
      if (first != std::string::npos) names.push_back(name.substr(first, last - first + 1));
      start = end + 1;
    }
    return names;
  }
  names.assign(std::begin(kDefaultShells), std::end(kDefaultShells));
  return names;
}

void SetCommandPipePeerUid(std::optional<uid_t> uid) {
  std::lock_guard lock(g_peerMutex);
  g_peerUid = uid;
}

std::optional<uid_t> FindDesktopUser(const std::string& procRoot) {
  {
    std::lock_guard lock(g_peerMutex);
    if (g_peerUid) return g_peerUid;
  }
  const auto snapshot = TakeProcessSnapshot(procRoot);
  if (!snapshot) return std::nullopt;
  const std::vector<std::string> shells = DesktopShellNames();
  for (const ProcessImage& process : *snapshot) {
    // A shell whose owner is unknown (it ended while the list was read) is
    // not taken for root's.
    if (!process.uid) continue;
    for (const std::string& shell : shells) {
      if (SameName(process.program, shell) || SameName(process.comm, shell)) return process.uid;
    }
  }
  return std::nullopt;
}

}  // namespace platform::process
