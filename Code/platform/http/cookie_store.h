// The process's cookies, as the system keeps them for every download: per
// server (host and port), set by answers (Set-Cookie) or by a caller, and
// sent with every later request to that server, never to another.
// Thread-safe.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform::http {

class CookieStore {
 public:
  // The one store of the process.
  static CookieStore& Process();

  // Keeps name=value for origin (Url::Origin()); an empty name is ignored.
  void Set(const std::string& origin, const std::string& name, const std::string& value);
  // Takes one Set-Cookie value: "name=value" up to the first ';'; the
  // attributes are not kept, but "Max-Age=0" or "Max-Age=-1" removes it.
  void TakeSetCookie(const std::string& origin, std::string_view headerValue);
  // The cookies of origin in the order they were first set.
  std::vector<std::pair<std::string, std::string>> For(const std::string& origin) const;
  void Clear();

 private:
  mutable std::mutex mutex_;
  std::map<std::string, std::vector<std::pair<std::string, std::string>>> byOrigin_;
};

}  // namespace platform::http
