// Every place on disk the system uses. With VQ_ROOT set, all of them live
// below it, so tests, the demo and a second instance run side by side.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

namespace platform::paths {

// $VQ_ROOT, or "" when unset.
std::string Root();

// Common application data: /var/lib.
std::string CommonAppData();
// The user's application data: $XDG_CONFIG_HOME, else $HOME/.config; for a
// thread impersonating another user, that user's <home>/.config.
std::string UserAppData();
// Program files: /opt.
std::string ProgramFiles();
// Temporary folder: $TMPDIR, else /tmp.
std::string TempDir();
// The user's own temporary folder, <TempDir>/tarnwickgate-<uid>: made
// with mode 0700 when missing; "" (errno set) when it cannot be made, or
// when what is there is a link, not a folder, not the user's (effective
// uid) or open to others: files put there may be run with root rights.
std::string UserTempDir();
// Run folder of the system: /run/tarnwickgate.
std::string RunDir();
// Configuration folder of the system: /etc/tarnwickgate.
std::string EtcDir();
// The Windows folder and the system folder, where files are put to be found
// by name: /usr/local/bin for programs, /usr/local/lib for libraries.
std::string WindowsDir();
std::string SystemDir();

// A place a setting names (the install folder of the registry): below the
// root like every other place; one already below it stays as it is.
std::string SettingPath(std::string_view place);

// Registry hives.
std::string HklmHive();
std::string HkcuHive();

// "\\.\pipe\NAME" (or a bare NAME) -> <run>/pipe/NAME.
std::string PipePath(std::string_view pipeName);
// "Global\NAME" (or a bare NAME) -> <run>/global/NAME.lock.
std::string GlobalLockPath(std::string_view objectName);

// Certificate stores "MY", "CA" (user) and the folder part of "ROOT".
std::string CertStoreDir(std::string_view storeName);

// Creates the folder and every missing parent (mode 0755); true when it exists afterwards.
bool CreateDirectories(const std::string& path);

// Who the folders made get handed to.
struct FolderOwner {
  uid_t uid = 0;
  gid_t gid = 0;
};
// The same with mode (less the umask) for each folder it makes, and each
// handed to owner when one is given. On failure errno tells why.
bool CreateDirectories(const std::string& path, mode_t mode, const std::optional<FolderOwner>& owner = std::nullopt);

// The run folder (0755) with its pipe/ and global/ folders (01777: every
// local user may make names there and only a name's owner may remove it,
// as in /tmp), owned by root, or by VQ_ROOT's owner in a hermetic run.
// Folders made earlier with other modes are corrected; without the right
// to change the owner, the owner stays. False, with errno, on failure.
bool PrepareRunFolders();

// The running program's own file and its folder.
std::string ModulePath();
std::string ModuleDir();

}  // namespace platform::paths
