// Who the desktop user is, for the service that acts for that user: the
// client of the command pipe when it is known, else the owner of the first
// running desktop shell.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace platform::process {

// Program names of desktop shells, compared without regard to case:
// $VQ_DESKTOP_SHELLS (comma-separated) when set, else a list of the common
// Linux desktop shells.
std::vector<std::string> DesktopShellNames();

// The command pipe records its client's uid here (nothing: no client known).
void SetCommandPipePeerUid(std::optional<uid_t> uid);

// The command pipe's client when known; else the owner of the running
// process with the lowest pid whose program or kernel name is a desktop
// shell; nothing when there is none.
std::optional<uid_t> FindDesktopUser(const std::string& procRoot = "/proc");

}  // namespace platform::process
