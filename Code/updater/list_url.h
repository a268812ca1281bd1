// The list URL split into its parts: scheme, user name and password as
// written (still encoded), host, port and path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace thimbleset {

struct ListUrl {
  std::string scheme;  // "http" or "https", lower case
  std::string user;    // as written; empty when absent
  std::string password;
  std::string host;
  uint16_t port = 0;   // the scheme's port when none is written
  std::string path;    // from the '/' after the authority on; "/" when none
};

// Empty when the URL is not http(s)://[USER[:PASSWORD]@]HOST[:PORT][/PATH]
// with a host and a port of 1 to 65535.
std::optional<ListUrl> SplitListUrl(std::string_view url);

// Where the user information of a URL lies: the bytes between "://" and
// the last '@' before the path; {0, 0} when it has none.
std::pair<size_t, size_t> UserInfoSpan(std::string_view text);

// The URL without its user name and password.
std::string UrlWithoutUserInfo(const ListUrl& url);

}  // namespace thimbleset
