// Acting for the desktop user: the tunnel service reads that user's hive
// and certificate settings while impersonating.
#pragma once

#include <string>

// Makes the calling thread act for the desktop user (the command pipe's
// client when known, else the owner of the first running desktop shell);
// 1 when it now impersonates, 0 when nobody was found (the thread keeps its
// own identity). The caller ends it with platform::process::RevertToSelf.
int ImpersonateExplorerUser(const std::string& procRoot = "/proc");
