// Start-up of the tunnel service:
//   1. current directory = the program's folder (relative files resolve there)
//   2. log init
//   3. no argument: run the service body in the console, stopped by SIGTERM/SIGINT;
//      else dispatch the options
//   4. log clean-up
#include "Brindleway/brindleway.h"

#include <strings.h>

#include <cstring>

#include "Brindleway/channel_service.h"
#include "Brindleway/service_install.h"
#include "platform/service/stop_signals.h"
#include "platform/sync/event.h"
#include "support/getopt.h"
#include "support/log.h"

namespace brindleway {
namespace {

int RunInConsole() {
  platform::Event stop(platform::Event::Reset::Manual);
  platform::service::StopSignalWatcher signals([&stop](int) { stop.Set(); });
  return RunChannelService(stop, platform::InstanceLock::Role::Console);
}

// The virtual adapter's GUID; -1 while no adapter is known.
int GetTunAdapterGuid(std::string&) { return -1; }

}  // namespace

int RemoveAdapterConnectionKey() {
  std::string guid;
  if (int r = GetTunAdapterGuid(guid); r != 0) return r;
  return -1;
}

int ProcessOptions(int argc, const char* const argv[]) {
  support::GetoptState state;
  for (;;) {
    const int option = support::getopt(state, argc, argv, "s:d");
    switch (option) {
      case -1:
        return -1;
      case 'd':
        return RemoveAdapterConnectionKey();
      case 's': {
        const char* word = state.optarg;
        if (strcasecmp(word, "install") == 0) return InstallService();
        if (strcasecmp(word, "uninstall") == 0) return UninstallService();
        if (strcasecmp(word, "start") == 0) return StartOwnService();
        if (strcasecmp(word, "stop") == 0) return StopOwnService();
        const int last = strcasecmp(word, "control");
        if (last == 0) return RunServiceDispatcher();
        return last;
      }
      default:
        break;  // other options are skipped
    }
  }
}

int BrindlewayMain(int argc, const char* const argv[]) {
  int result = -1;
  try {
    SetCurrentDirToModuleDir();
    LogInit(nullptr);
    LogPrint(LOG_DEBUG, "Start _tmain...\n");
    result = argc < 2 ? RunInConsole() : ProcessOptions(argc, argv);
  } catch (...) {
    result = -1;
  }
  try {
    LogCleanup();
  } catch (...) {
  }
  return result;
}

}  // namespace brindleway
