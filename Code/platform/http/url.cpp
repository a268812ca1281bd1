#include "platform/http/url.h"

#include <cctype>

namespace platform::http {
namespace {

uint16_t DefaultPort(std::string_view scheme) { return scheme == "https" ? 443 : 80; }

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

bool HostByteOk(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  return std::isalnum(u) || c == '-' || c == '.' || c == '_' || u >= 0x80;
}

}  // namespace

std::string Url::Text() const {
  std::string text = scheme + "://";
  text += host.find(':') != std::string::npos ? "[" + host + "]" : host;
  if (port != DefaultPort(scheme)) text += ":" + std::to_string(port);
  return text + path;
}

std::string Url::Origin() const { return host + ":" + std::to_string(port); }

std::optional<Url> SplitUrl(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F) return std::nullopt;
  }
  const size_t sep = text.find("://");
  if (sep == std::string_view::npos) return std::nullopt;
  Url url;
  url.scheme = Lower(text.substr(0, sep));
  if (url.scheme != "http" && url.scheme != "https") return std::nullopt;
  std::string_view rest = text.substr(sep + 3);
  if (const size_t hash = rest.find('#'); hash != std::string_view::npos) rest = rest.substr(0, hash);

  const size_t pathAt = rest.find_first_of("/?");
  std::string_view authority = rest.substr(0, pathAt);
  url.path = pathAt == std::string_view::npos ? "/" : std::string(rest.substr(pathAt));
  if (url.path[0] == '?') url.path.insert(0, "/");
  // The user information goes no further than this line.
  if (const size_t at = authority.rfind('@'); at != std::string_view::npos) authority = authority.substr(at + 1);

  std::string_view host = authority;
  std::string_view port;
  if (!authority.empty() && authority[0] == '[') {
    const size_t close = authority.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    host = authority.substr(1, close - 1);
    std::string_view after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after[0] != ':') return std::nullopt;
      port = after.substr(1);
    }
    for (char c : host) {
      if (!std::isxdigit(static_cast<unsigned char>(c)) && c != ':' && c != '.') return std::nullopt;
    }
  } else {
    if (const size_t colon = authority.find(':'); colon != std::string_view::npos) {
      host = authority.substr(0, colon);
      port = authority.substr(colon + 1);
    }
    for (char c : host) {
      if (!HostByteOk(c)) return std::nullopt;
    }
  }
  if (host.empty()) return std::nullopt;
  url.host = Lower(host);
  url.port = DefaultPort(url.scheme);
  if (!port.empty()) {
    if (port.size() > 5) return std::nullopt;
    unsigned value = 0;
    for (char c : port) {
      if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
      value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value == 0 || value > 65535) return std::nullopt;
    url.port = static_cast<uint16_t>(value);
  }
  return url;
}

std::optional<Url> ResolveLocation(const Url& base, std::string_view location) {
  while (!location.empty() && (location.back() == '\r' || location.back() == '\n' || location.back() == ' ' ||
                               location.back() == '\t')) {
    location.remove_suffix(1);
  }
  while (!location.empty() && (location.front() == ' ' || location.front() == '\t')) location.remove_prefix(1);
  if (location.empty()) return std::nullopt;
  if (location.find("://") != std::string_view::npos) return SplitUrl(location);
  if (location.substr(0, 2) == "//") return SplitUrl(base.scheme + ":" + std::string(location));
  std::string origin = base.scheme + "://" + (base.host.find(':') != std::string::npos ? "[" + base.host + "]" : base.host) +
                       ":" + std::to_string(base.port);
  if (location[0] == '/') return SplitUrl(origin + std::string(location));
  std::string folder = base.path.substr(0, base.path.find('?'));
  folder.erase(folder.rfind('/') + 1);
  if (location[0] == '?') return SplitUrl(origin + base.path.substr(0, base.path.find('?')) + std::string(location));
  return SplitUrl(origin + folder + std::string(location));
}

}  // namespace platform::http
