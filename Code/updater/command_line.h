// The updater's command line, as the client's update trigger builds it:
//
//   Thimbleset VERB LIST-URL INSTALLER VERSION MODE [PIN]
//
//   VERB       "check" or "update", any letter case
//   LIST-URL   https://U:P@HOST:PORT/LIST, U and P the base64 of the UTF-16LE
//              bytes of user name and password with '+' '/' '=' written
//              %2B %2F %3D; no "U:P@" without a credential
//   INSTALLER  the list entry's FileName that stands for the installer
//   VERSION    the installed product version
//   MODE       "cookie" or "password", any letter case
//   PIN        the USB-key PIN in the ANSI code page, only when not empty
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "updater/constants.h"

namespace thimbleset {

enum class Verb { Check, Update, Other };

struct CommandLine {
  Verb verb = Verb::Other;
  std::string listUrl;
  std::string installerName;
  std::string productVersion;
  CredentialMode mode = CredentialMode::Cookie;
  std::string pin;  // empty: none
};

// The words after the program name. Empty when their number is not 5 or 6,
// the mode word is neither "cookie" nor "password", or the PIN is longer
// than kMaxPinBytes (it would be cut and tried on the token). An unknown
// verb parses, as Verb::Other.
std::optional<CommandLine> ParseCommandLine(const std::vector<std::string>& words);

// Overwrites, in the process's own argument memory, the user name and
// password of the list URL (argv[2]) and the PIN (argv[6]), so that
// /proc/PID/cmdline no longer shows them. Copy the words first.
void HideCredentialArguments(int argc, char** argv);

}  // namespace thimbleset
