// The list URL: the HTTP layer's split of it, and the user name and
// password it carries before the host (still encoded), which that split
// drops.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/http/url.h"

namespace thimbleset {

struct ListUrl {
  platform::http::Url url;  // scheme, host, port, path
  std::string user;         // as written; empty when absent
  std::string password;
};

// Empty when the HTTP layer does not split the URL.
std::optional<ListUrl> SplitListUrl(std::string_view text);

// Where the user information of a URL lies: the bytes between "://" and
// the last '@' before the path; {0, 0} when it has none.
std::pair<size_t, size_t> UserInfoSpan(std::string_view text);

// "SCHEME://HOST:PORT/" of the list URL followed by path, the port always
// written.
std::string ServerUrl(const platform::http::Url& url, std::string_view path);

}  // namespace thimbleset
