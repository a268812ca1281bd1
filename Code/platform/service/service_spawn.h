// Starting a service's process the way a service manager does: detached in
// its own session, with nothing of the starter's terminal, descriptors or
// signal settings, and told through the environment which service it runs.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace platform::service::detail {

// argv[0] is the program's full path (no PATH search, no shell). 0 with pid
// set, or the Win32 code of the failure.
uint32_t SpawnServiceProcess(const std::vector<std::string>& argv, const std::string& serviceName,
                             pid_t& pid);

}  // namespace platform::service::detail
