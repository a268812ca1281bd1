#include "updater/command_line.h"

#include <cstring>
#include <string_view>
#include <utility>

#include "support/ascii_case.h"

namespace thimbleset {
namespace {

constexpr char kMask = '*';

// The userinfo of a URL: the bytes between "://" and the last '@' of the
// authority, or an empty span when it has none.
std::pair<size_t, size_t> UserInfoSpan(std::string_view url) {
  const size_t scheme = url.find("://");
  if (scheme == std::string_view::npos) return {0, 0};
  const size_t begin = scheme + 3;
  size_t end = url.find_first_of("/?#", begin);
  if (end == std::string_view::npos) end = url.size();
  const size_t at = url.substr(begin, end - begin).rfind('@');
  if (at == std::string_view::npos) return {0, 0};
  return {begin, begin + at};
}

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
