#include "Wendle/client_launch.h"

#include "platform/process/detached_process.h"
#include "platform/win32/win32_error.h"

std::optional<std::vector<std::string>> ClientCommand(const std::string& home, int usbKeyMode,
                                                      const WebLogin& login) {
  if (usbKeyMode < 0 || usbKeyMode > 2) return std::nullopt;
  std::vector<std::string> argv = {home + "/bin/" + CLIENT_PROGRAM_NAME,
                                   "-d",
                                   "-h",
                                   login.server,
                                   "-p",
                                   login.port,
                                   "-u",
                                   login.user,
                                   "-c",
                                   login.password};
  if (usbKeyMode == 1) argv.insert(argv.end(), {"-k", login.pin});
  if (usbKeyMode == 2) argv.insert(argv.end(), {"-o", login.pin});
  return argv;
}

uint32_t StartClient(const std::string& home, int usbKeyMode, const WebLogin& login) {
  const auto argv = ClientCommand(home, usbKeyMode, login);
  if (!argv) return platform::ERROR_INVALID_PARAMETER;
  return platform::process::StartDetachedProcess(*argv, home);
}
