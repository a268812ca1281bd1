// CreateProcess for a program that lives on its own: started from an argv
// vector (no shell, no command line to split) in a session of its own, not
// a child of the caller (so nothing has to wait for it and it leaves no
// zombie), with no descriptor of the caller but standard input, output and
// error, in the given current folder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform::process {

// argv[0] is the program's path. 0 once the program runs, else the Win32
// code of why it could not (2 no such file, 5 not executable, 3 no such
// current folder, 87 an empty argv).
uint32_t StartDetachedProcess(const std::vector<std::string>& argv, const std::string& workDir);

}  // namespace platform::process
