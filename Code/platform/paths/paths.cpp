#include "platform/paths/paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/process/user_context.h"

namespace platform::paths {
namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

bool IsBelow(const std::string& path, const std::string& root) {
  if (root.empty()) return true;
  return path == root || (path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
                          path[root.size()] == '/');
}

// A system place below the root.
std::string Rooted(std::string_view place) { return Root() + std::string(place); }

// A place that comes from the environment: already below the root it stays,
// else it moves under it.
std::string RootedFromEnv(const std::string& place) {
  std::string root = Root();
  return IsBelow(place, root) ? place : root + place;
}

// Strips a Win32 prefix ("\\.\pipe\", "Global\") from an object name.
std::string BaseName(std::string_view name, std::string_view prefix) {
  if (name.size() >= prefix.size()) {
    bool same = true;
    for (size_t i = 0; i < prefix.size(); ++i) {
      char a = name[i], b = prefix[i];
      if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
      if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
      if (a != b) { same = false; break; }
    }
    if (same) name.remove_prefix(prefix.size());
  }
  std::string out(name);
  // A name must stay a single file name inside its folder.
  for (char& c : out)
    if (c == '/' || c == '\\') c = '_';
  if (out.empty() || out == "." || out == "..") out = "_" + out;
  return out;
}

}  // namespace

std::string Root() {
  std::string root = Env("VQ_ROOT");
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  if (root == "/") root.clear();
  return root;
}

std::string CommonAppData() { return Rooted("/var/lib"); }

std::string UserAppData() {
  // A thread acting for another user uses that user's folder; the
  // environment describes only the process's own user.
  if (const auto user = process::ImpersonatedUser(); user && user->uid != ::geteuid())
    return RootedFromEnv(user->home + "/.config");
  std::string xdg = Env("XDG_CONFIG_HOME");
  if (!xdg.empty() && xdg[0] == '/') return RootedFromEnv(xdg);
  std::string home = Env("HOME");
  if (home.empty()) home = "/root";
  return RootedFromEnv(home + "/.config");
}

std::string ProgramFiles() { return Rooted("/opt"); }

std::string TempDir() {
  std::string tmp = Env("TMPDIR");
  if (tmp.empty() || tmp[0] != '/') tmp = "/tmp";
  return RootedFromEnv(tmp);
}

std::string UserTempDir() {
  const std::string base = TempDir();
  if (!CreateDirectories(base, 01777)) return {};
  const uid_t uid = ::geteuid();
  const std::string dir = base + "/tarnwickgate-" + std::to_string(uid);
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return {};
  struct stat st{};
  if (::lstat(dir.c_str(), &st) != 0) return {};
  if (S_ISLNK(st.st_mode)) {
    errno = ELOOP;
    return {};
  }
  if (!S_ISDIR(st.st_mode)) {
    errno = ENOTDIR;
    return {};
  }
  if (st.st_uid != uid || (st.st_mode & 077) != 0) {
    errno = EPERM;
    return {};
  }
  return dir;
}

std::string RunDir() { return Rooted("/run/tarnwickgate"); }
std::string EtcDir() { return Rooted("/etc/tarnwickgate"); }
std::string WindowsDir() { return Rooted("/usr/local/bin"); }
std::string SystemDir() { return Rooted("/usr/local/lib"); }

std::string SettingPath(std::string_view place) {
  std::string path(place);
  if (path.empty() || path[0] != '/') path.insert(0, "/");
  return RootedFromEnv(path);
}

std::string HklmHive() { return EtcDir() + "/registry/HKLM.db"; }
std::string HkcuHive() { return UserAppData() + "/tarnwickgate/registry/HKCU.db"; }

std::string PipePath(std::string_view pipeName) {
  return RunDir() + "/pipe/" + BaseName(pipeName, "\\\\.\\pipe\\");
}

std::string GlobalLockPath(std::string_view objectName) {
  return RunDir() + "/global/" + BaseName(objectName, "Global\\") + ".lock";
}

std::string CertStoreDir(std::string_view storeName) {
  std::string name(storeName);
  if (name == "ROOT") return EtcDir() + "/certs/ROOT";
  return UserAppData() + "/tarnwickgate/certs/" + BaseName(storeName, "");
}

bool CreateDirectories(const std::string& path) { return CreateDirectories(path, 0755); }

bool CreateDirectories(const std::string& path, mode_t mode, const std::optional<FolderOwner>& owner) {
  if (path.empty()) return false;
  size_t pos = 0;
  while (pos != std::string::npos) {
    const size_t next = path.find('/', pos + 1);
    const std::string partial = path.substr(0, next);
    pos = next;
    if (partial.empty()) continue;
    if (::mkdir(partial.c_str(), mode) == 0) {
      if (owner && ::chown(partial.c_str(), owner->uid, owner->gid) != 0) return false;
    } else if (errno != EEXIST) {
      return false;
    }
  }
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

namespace {

constexpr mode_t kRunFolderMode = 0755;
constexpr mode_t kSharedFolderMode = 01777;

bool PrepareFolder(const std::string& path, mode_t mode, const FolderOwner& owner) {
  if (!CreateDirectories(path, mode & 0777)) return false;
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) return false;
  const bool chown = ::geteuid() == 0 && (st.st_uid != owner.uid || st.st_gid != owner.gid);
  if (chown && ::chown(path.c_str(), owner.uid, owner.gid) != 0) return false;
  // chmod after chown: a chown may clear the mode's special bits.
  return (!chown && (st.st_mode & 07777) == mode) || ::chmod(path.c_str(), mode) == 0;
}

}  // namespace

bool PrepareRunFolders() {
  FolderOwner owner;  // root
  const std::string root = Root();
  if (!root.empty()) {
    struct stat st{};
    if (::stat(root.c_str(), &st) != 0) return false;
    owner = FolderOwner{st.st_uid, st.st_gid};
  }
  const std::string run = RunDir();
  return PrepareFolder(run, kRunFolderMode, owner) && PrepareFolder(run + "/pipe", kSharedFolderMode, owner) &&
         PrepareFolder(run + "/global", kSharedFolderMode, owner);
}

std::string ModulePath() {
  std::string buf(4096, '\0');
  ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  if (n <= 0) return {};
  buf.resize(static_cast<size_t>(n));
  return buf;
}

std::string ModuleDir() {
  std::string p = ModulePath();
  size_t slash = p.rfind('/');
  return slash == std::string::npos ? std::string() : p.substr(0, slash);
}

}  // namespace platform::paths
