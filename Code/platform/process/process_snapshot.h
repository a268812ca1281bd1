// The executable file names of the running processes, read from /proc (or a
// folder laid out like it, for tests) — what a Toolhelp process snapshot
// reports as each entry's file name.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace platform::process {

struct ProcessImage {
  pid_t pid = 0;
  // Base name of the exe link (without a " (deleted)" suffix); when that
  // link cannot be read, base name of argv[0]; else the kernel's name. The
  // kernel's name comes last because it is cut to 15 characters.
  std::string exeFile;
};

// Every process whose name could be read, lowest pid first; processes that
// end while the folder is walked are left out. Nothing when the process
// root itself cannot be listed.
std::optional<std::vector<ProcessImage>> TakeProcessSnapshot(const std::string& procRoot = "/proc");

}  // namespace platform::process
