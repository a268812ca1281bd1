// The parts of an http or https URL, split by our own rules so that what
// reaches the transfer library is exactly what we put together: a user name
// and password in the URL are dropped here and never sent nor logged.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform::http {

struct Url {
  std::string scheme;  // "http" or "https", lower case
  std::string host;    // without brackets; lower case
  uint16_t port = 0;   // the scheme's default when the URL names none
  std::string path;    // from the first '/', query included; "/" when empty

  bool Secure() const { return scheme == "https"; }
  // scheme://host[:port]path, the port only when it is not the default;
  // an IPv6 host gets its brackets back.
  std::string Text() const;
  // host:port, the key of everything kept per server.
  std::string Origin() const;
};

// Splits "scheme://[userinfo@]host[:port][/path][?query]"; nullopt for any
// other scheme, an empty or malformed host, a bad port, or a byte below
// 0x21 (control bytes, blanks) anywhere. A fragment is dropped.
std::optional<Url> SplitUrl(std::string_view text);

// Where a Location answer points from base: an absolute URL with its own
// scheme and port, "//host/..." with base's scheme, "/path" on base's
// server, anything else relative to base's folder. Trailing CR, LF and
// blanks are dropped first. nullopt when the result does not split.
std::optional<Url> ResolveLocation(const Url& base, std::string_view location);

}  // namespace platform::http
