#include "platform/process/wake_without_preempting.h"

#include <sched.h>

namespace platform::process {

bool WakeWithoutPreempting() {
  // The batch policy: the same share of the processor as the normal one,
  // without preempting on wake-up.
  const sched_param param{};
  return ::sched_setscheduler(0, SCHED_BATCH, &param) == 0;
}

}  // namespace platform::process
