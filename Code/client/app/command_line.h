// The command line the web control starts the client application with
// ("-d -h HOST -p PORT -u USER -c SESSION", "-k PIN" or "-o PIN" added for a
// USB key), read with the option string "h:p:u:s:c:dqk:o:w".
//
// Each value is converted to the ANSI code page before it is stored; a value
// that does not fit its conn_info field after conversion (host 255, user 63,
// secrets 127 bytes), or that the code page cannot hold, is refused with a
// LOG_ERR line naming the option and leaves the field as it was: a cut
// password or host would only fail later, somewhere less clear.
#pragma once

#include <string>

#include "support/conn_info.h"

namespace client {

struct CommandLine {
  conn_info conn;             // host, port, auth_type, init, secrets; user apart
  bool userGiven = false;     // -u had a value that was taken
  std::string user;           // for SetConnUser
  bool webStart = false;      // -d
  bool noAutoConnect = false; // -q
};

// ProcessCommandLine's parse, into a copy of conn (the record so far).
CommandLine ParseCommandLine(int argc, const char* const argv[], const conn_info& conn);

// Overwrites, in the process's own argument strings, the values of -s, -c,
// -k and -o (password, portal session, PIN), which every local user could
// otherwise read in /proc/PID/cmdline. Call after ParseCommandLine.
void HideSecretArguments(int argc, char* argv[]);

}  // namespace client
