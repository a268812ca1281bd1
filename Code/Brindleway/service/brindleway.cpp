// Start-up of the tunnel service:
//   1. current directory = the program's folder (relative files resolve there)
//   2. log init
//   3. no argument: run the service body in the console, stopped by SIGTERM/SIGINT;
//      else dispatch the options
//   4. log clean-up
#include "Brindleway/service/brindleway.h"

#include <strings.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "Brindleway/service/channel_service.h"
#include "Brindleway/service/service_install.h"
#include "platform/registry/registry.h"
#include "platform/service/stop_signals.h"
#include "platform/sync/event.h"
#include "platform/win32/win32_error.h"
#include "support/getopt.h"
#include "support/log.h"
#include "support/net_adapter.h"

namespace brindleway {
namespace {

int RunInConsole() {
  platform::Event stop(platform::Event::Reset::Manual);
  platform::service::StopSignalWatcher signals([&stop](int) { stop.Set(); });
  return RunChannelService(stop, platform::InstanceLock::Role::Console);
}

// The network class key; each adapter's connection key is named by its GUID
// below it.
constexpr char kNetworkClassKey[] =
    "SYSTEM\\CurrentControlSet\\Control\\Network\\{4D36E972-E325-11CE-BFC1-08002BE10318}";

}  // namespace

int RemoveAdapterConnectionKey() {
  std::string guid;
  if (int r = GetTunAdapterGuid(guid); r != 0) return r;
  return RemoveAdapterConnectionKeyFor(guid);
}

bool DeleteRegistryTree(const platform::registry::Key& parent, std::string_view name) {
  namespace reg = platform::registry;
  if (parent.DeleteSubKey(name) == platform::ERROR_SUCCESS) return true;
  reg::Key key;
  const uint32_t err = parent.OpenSubKey(name, reg::Access::Write, key);
  if (err == platform::ERROR_FILE_NOT_FOUND) {
    std::fputs("Key not found.\n", stdout);
    return true;
  }
  if (err != platform::ERROR_SUCCESS) {
    std::fputs("Error opening key.\n", stdout);
    return false;
  }
  // Always the first subkey: each one is gone once its turn is over. One
  // that stays (it could not be deleted) ends the delete, or the same name
  // would come back forever.
  for (;;) {
    std::string child;
    const uint32_t enumErr = key.EnumKey(0, child);
    if (enumErr == platform::ERROR_NO_MORE_ITEMS) break;
    if (enumErr != platform::ERROR_SUCCESS || !DeleteRegistryTree(key, child)) return false;
  }
  key.Close();
  return parent.DeleteSubKey(name) == platform::ERROR_SUCCESS;
}

int RemoveAdapterConnectionKeyFor(const std::string& guid) {
  namespace reg = platform::registry;
  reg::Key machine;
  uint32_t err = reg::Key::Open(reg::HKEY_LOCAL_MACHINE, "", reg::Access::Write, machine);
  // Without the right to change the machine hive the key can still be
  // looked for; the delete itself then fails.
  if (err == platform::ERROR_ACCESS_DENIED)
    err = reg::Key::Open(reg::HKEY_LOCAL_MACHINE, "", reg::Access::Read, machine);
  bool ok = false;
  // A GUID that is empty or holds a separator would name another key.
  if (guid.empty() || guid.find('\\') != std::string::npos) {
    ok = false;
  } else if (err != platform::ERROR_SUCCESS) {
    std::fputs("Error opening key.\n", stdout);
  } else {
    ok = DeleteRegistryTree(machine, fmt::sprintf("%s\\%s", kNetworkClassKey, guid));
  }
  std::fputs(ok ? "Success!\n" : "Failure.\n", stdout);
  std::fflush(stdout);
  return ok ? 0 : -1;
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
