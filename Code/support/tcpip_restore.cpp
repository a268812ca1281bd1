#include "support/tcpip_restore.h"

#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "platform/paths/paths.h"
#include "platform/service/service.h"

std::string TcpipRestoreFilePath() {
  return platform::paths::ProgramFiles() + "/Vardenlow/Vardenlow Marrowlantern/Restore.reg";
}

std::string RegistryToolPath() {
  if (const char* tool = std::getenv("VQ_REGEDIT"); tool != nullptr && *tool != '\0') return tool;
  const std::string beside = platform::paths::ModuleDir() + "/vqregedit";
  if (::access(beside.c_str(), X_OK) == 0) return beside;
  return "vqregedit";
}

int RestoreTcpipInterfaces(int restore) {
  const std::vector<std::string> argv = {RegistryToolPath(), restore != 0 ? "/s" : "/e", TcpipRestoreFilePath(),
                                         kTcpipInterfacesKey};
  return platform::service::RunCommand(argv, nullptr) == 0 ? 1 : 0;
}
