#include "client/ui/options_autostart.h"

#include "platform/paths/paths.h"
#include "platform/shell/autostart.h"
#include "platform/win32/win32_error.h"
#include "support/log.h"

namespace client {

void UseProgramAutoStart(OptionsContext& context) {
  context.hasAutoStart = [] { return platform::shell::HasAutoStart(kAutoStartName); };
  context.setAutoStart = [] {
    const std::string path = platform::paths::ModulePath();
    if (path.empty()) return false;
    const uint32_t error = platform::shell::SetAutoStart(kAutoStartName, path);
    if (error != 0) LogPrint(LOG_ERR, "Set autostart entry failed [%u]\n", error);
    return error == 0;
  };
  context.deleteAutoStart = [] {
    const uint32_t error = platform::shell::DeleteAutoStart(kAutoStartName);
    if (error != 0 && error != platform::ERROR_FILE_NOT_FOUND) LogPrint(LOG_ERR, "Delete autostart entry failed [%u]\n", error);
    return error == 0 || error == platform::ERROR_FILE_NOT_FOUND;
  };
}

}  // namespace client
