// How many processors this process may run on (its affinity mask, which
// taskset, cgroups' cpusets and containers narrow), for sizing pools of
// worker threads.
#pragma once

namespace platform::process {

// At least 1, also when the mask can't be read.
unsigned UsableCpuCount();

}  // namespace platform::process
