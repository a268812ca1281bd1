// A snapshot of the running processes, read from /proc (or a folder laid
// out like it, for tests).
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace platform::process {

struct ProcessEntry {
  pid_t pid = 0;
  std::string program;  // file name of argv[0], else the kernel's name
  std::string comm;     // the kernel's name (cut to 15 characters)
  uid_t uid = 0;        // real user
};

// Every process whose entry could be read, lowest pid first. Processes that
// end while the list is read are left out.
std::vector<ProcessEntry> ListProcesses(const std::string& procRoot = "/proc");

}  // namespace platform::process
