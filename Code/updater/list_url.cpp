#include "updater/list_url.h"

#include "support/ascii_case.h"

namespace thimbleset {
namespace {

std::optional<uint16_t> ParsePort(std::string_view text) {
  if (text.empty() || text.size() > 5) return std::nullopt;
  uint32_t port = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    port = port * 10 + static_cast<uint32_t>(c - '0');
  }
  if (port == 0 || port > 65535) return std::nullopt;
  return static_cast<uint16_t>(port);
}

}  // namespace

std::pair<size_t, size_t> UserInfoSpan(std::string_view text) {
  const size_t scheme = text.find("://");
  if (scheme == std::string_view::npos) return {0, 0};
  const size_t begin = scheme + 3;
  size_t end = text.find_first_of("/?#", begin);
  if (end == std::string_view::npos) end = text.size();
  const size_t at = text.substr(begin, end - begin).rfind('@');
  if (at == std::string_view::npos) return {0, 0};
  return {begin, begin + at};
}

std::optional<ListUrl> SplitListUrl(std::string_view url) {
  ListUrl out;
  const size_t schemeEnd = url.find("://");
  if (schemeEnd == std::string_view::npos) return std::nullopt;
  const std::string_view scheme = url.substr(0, schemeEnd);
  uint16_t defaultPort = 0;
  if (AsciiEqualNoCase(scheme, "http")) {
    out.scheme = "http";
    defaultPort = 80;
  } else if (AsciiEqualNoCase(scheme, "https")) {
    out.scheme = "https";
    defaultPort = 443;
  } else {
    return std::nullopt;
  }
  std::string_view rest = url.substr(schemeEnd + 3);
  const size_t authorityEnd = rest.find_first_of("/?#");
  std::string_view authority = rest.substr(0, authorityEnd);
  out.path = authorityEnd == std::string_view::npos ? "/" : std::string(rest.substr(authorityEnd));
  if (out.path[0] != '/') out.path.insert(0, "/");

  if (const auto [begin, end] = UserInfoSpan(url); begin != 0) {
    const std::string_view userInfo = url.substr(begin, end - begin);
    const size_t colon = userInfo.find(':');
    out.user = std::string(userInfo.substr(0, colon));
    if (colon != std::string_view::npos) out.password = std::string(userInfo.substr(colon + 1));
  }
  if (const size_t at = authority.rfind('@'); at != std::string_view::npos) authority.remove_prefix(at + 1);

  std::string_view host = authority;
  std::string_view port;
  if (!authority.empty() && authority.front() == '[') {
    const size_t close = authority.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    host = authority.substr(0, close + 1);
    const std::string_view after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') return std::nullopt;
      port = after.substr(1);
      if (port.empty()) return std::nullopt;
    }
  } else if (const size_t colon = authority.rfind(':'); colon != std::string_view::npos) {
    host = authority.substr(0, colon);
    port = authority.substr(colon + 1);
    if (port.empty()) return std::nullopt;
  }
  if (host.empty() || host == "[]") return std::nullopt;
  out.host = std::string(host);
  if (port.empty()) {
    out.port = defaultPort;
  } else if (const auto number = ParsePort(port)) {
    out.port = *number;
  } else {
    return std::nullopt;
  }
  return out;
}

std::string UrlWithoutUserInfo(const ListUrl& url) {
  return url.scheme + "://" + url.host + ":" + std::to_string(url.port) + url.path;
}

}  // namespace thimbleset
