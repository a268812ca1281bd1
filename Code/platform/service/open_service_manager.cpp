// Picks the backend: systemd when the machine runs it, the supervisor
// otherwise. A hermetic VQ_ROOT (tests, the demo) always gets the
// supervisor, so nothing there reaches the machine's real service manager.
#include <unistd.h>

#include <memory>

#include "platform/paths/paths.h"
#include "platform/service/service.h"
#include "platform/service/virtual_adapter.h"
#include "platform/win32/win32_error.h"

namespace platform::service {

bool SystemdIsRunning() { return ::access("/run/systemd/system", F_OK) == 0; }

std::unique_ptr<ServiceManager> OpenServiceManager(uint32_t& error,
                                                   std::unique_ptr<ServiceEntryStore> store) {
  error = ERROR_SUCCESS;
  if (!store) store = MakeRegistryServiceEntryStore();
  std::unique_ptr<ServiceManager> backend =
      paths::Root().empty() && SystemdIsRunning()
          ? MakeSystemdServiceManager(std::move(store), RunCommand)
          : MakeSupervisorServiceManager(std::move(store));
  return MakeBuiltinServicesManager(std::move(backend), [] { return VirtualAdapterUsable(); });
}

}  // namespace platform::service
