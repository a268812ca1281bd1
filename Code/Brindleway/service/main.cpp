#include "Brindleway/service/brindleway.h"
#include "platform/service/stop_signals.h"

int main(int argc, char* argv[]) {
  // Before any thread starts, so that only the stop watchers take these signals.
  platform::service::BlockStopSignals();
  const int result = brindleway::BrindlewayMain(argc, argv);
  return result == 0 ? 0 : (result & 0xFF ? result & 0xFF : 1);
}
