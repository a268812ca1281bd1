#include "updater/command_line.h"

#include <cstring>

#include "support/ascii_case.h"
#include "updater/list_url.h"

namespace thimbleset {
namespace {

constexpr char kMask = '*';

}  // namespace

std::optional<CommandLine> ParseCommandLine(const std::vector<std::string>& words) {
  if (words.size() < kMinWords || words.size() > kMaxWords) return std::nullopt;
  CommandLine line;
  if (AsciiEqualNoCase(words[4], kModeCookie)) {
    line.mode = CredentialMode::Cookie;
  } else if (AsciiEqualNoCase(words[4], kModePassword)) {
    line.mode = CredentialMode::Password;
  } else {
    return std::nullopt;
  }
  if (words.size() == kMaxWords) {
    if (words[5].size() > kMaxPinBytes) return std::nullopt;
    line.pin = words[5];
  }
  if (AsciiEqualNoCase(words[0], kVerbCheck)) {
    line.verb = Verb::Check;
  } else if (AsciiEqualNoCase(words[0], kVerbUpdate)) {
    line.verb = Verb::Update;
  }
  line.listUrl = words[1];
  line.installerName = words[2];
  line.productVersion = words[3];
  return line;
}

void HideCredentialArguments(int argc, char** argv) {
  if (argc > 2 && argv[2]) {
    const auto [begin, end] = UserInfoSpan(argv[2]);
    std::memset(argv[2] + begin, kMask, end - begin);
  }
  if (argc > 6 && argv[6]) std::memset(argv[6], kMask, std::strlen(argv[6]));
}

}  // namespace thimbleset
