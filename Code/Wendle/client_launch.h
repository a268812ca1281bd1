// Starting the client application with a web login on its command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The client program below the install folder.
inline constexpr char CLIENT_PROGRAM_NAME[] = "Marrowlantern";

struct WebLogin {
  std::string server;
  std::string port;
  std::string user;
  std::string password;  // the portal session id
  std::string pin;
};

// "<home>/bin/Marrowlantern -d -h S -p P -u U -c W", then "-k PIN" (mode 1)
// or "-o PIN" (mode 2); each value one argument, whatever it holds.
// Nothing for another mode.
std::optional<std::vector<std::string>> ClientCommand(const std::string& home, int usbKeyMode,
                                                      const WebLogin& login);

// Starts it detached with home as the current folder: 0, or the Win32 code.
uint32_t StartClient(const std::string& home, int usbKeyMode, const WebLogin& login);
