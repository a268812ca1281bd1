// The running processes, read from /proc (or a folder laid out like it, for
// tests): the names each one is known by and the user it runs as.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace platform::process {

struct ProcessImage {
  pid_t pid = 0;
  // What a Toolhelp process snapshot reports as the entry's file name: base
  // name of the exe link (without a " (deleted)" suffix); when that link
  // cannot be read, base name of argv[0]; else the kernel's name. The
  // kernel's name comes last because it is cut to 15 characters.
  std::string exeFile;
  // Base name of argv[0], else the kernel's name: the name the program was
  // started under, which for an interpreted program is not its exe's.
  std::string program;
  // The kernel's name (cut to 15 characters); empty when unreadable.
  std::string comm;
  // The real user; nothing when the status file could not be read.
  std::optional<uid_t> uid;
};

// Every process whose name could be read, lowest pid first; processes that
// end while the folder is walked are left out. Nothing when the process
// root itself cannot be listed.
std::optional<std::vector<ProcessImage>> TakeProcessSnapshot(const std::string& procRoot = "/proc");

}  // namespace platform::process
