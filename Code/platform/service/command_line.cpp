// The stored command line of a service, split the way the service's own
// command line is: blanks separate arguments, double quotes group (and are
// dropped), backslashes are ordinary characters so Windows-style and Linux
// paths both pass unchanged.
#include <string>
#include <vector>

#include "platform/service/service.h"

namespace platform::service {

std::vector<std::string> SplitCommandLine(const std::string& commandLine) {
  std::vector<std::string> args;
  std::string current;
  bool inArgument = false;  // also true for an empty "" argument
  bool quoted = false;
  for (char c : commandLine) {
    if (c == '"') {
      quoted = !quoted;
      inArgument = true;
    } else if (!quoted && (c == ' ' || c == '\t')) {
      if (inArgument) {
        args.push_back(std::move(current));
        current.clear();
        inArgument = false;
      }
    } else {
      current += c;
      inArgument = true;
    }
  }
  if (inArgument) args.push_back(std::move(current));
  return args;
}

}  // namespace platform::service
