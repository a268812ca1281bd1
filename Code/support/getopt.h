// The option parser of the tunnel service and the client application:
// short options, "x:" for an option with an argument (attached "-sinstall"
// or separate "-s install"), grouped flags ("-dq"). A fresh GetoptState
// starts a new parse.
#pragma once

namespace support {

struct GetoptState {
  int optind = 0;             // next argument to look at (0: not started)
  const char* optarg = nullptr;  // argument of the last option
  int optopt = 0;             // last option character seen
  int nextchar = 0;           // position inside a group of flags
};

// The option letter; '?' for an unknown option or a missing argument; -1 at
// the end of the options, at the first non-option argument or after "--".
int getopt(GetoptState& state, int argc, const char* const argv[], const char* optstring);

}  // namespace support
