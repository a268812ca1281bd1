#include "platform/http/cookie_store.h"

#include <algorithm>
#include <cctype>

namespace platform::http {
namespace {

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' || text.back() == '\n'))
    text.remove_suffix(1);
  return text;
}

bool SameIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

// A name or value a Cookie header can carry as it stands.
bool Sendable(std::string_view text) {
  return std::none_of(text.begin(), text.end(), [](char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7F || c == ';';
  });
}

}  // namespace

CookieStore& CookieStore::Process() {
  static CookieStore store;
  return store;
}

void CookieStore::Set(const std::string& origin, const std::string& name, const std::string& value) {
  if (name.empty() || !Sendable(name) || !Sendable(value) || name.find('=') != std::string::npos) return;
  std::lock_guard<std::mutex> lock(mutex_);
  auto& cookies = byOrigin_[origin];
  for (auto& [n, v] : cookies) {
    if (n == name) {
      v = value;
      return;
    }
  }
  cookies.emplace_back(name, value);
}

void CookieStore::TakeSetCookie(const std::string& origin, std::string_view headerValue) {
  std::string_view pair = headerValue.substr(0, headerValue.find(';'));
  const size_t eq = pair.find('=');
  if (eq == std::string_view::npos) return;
  const std::string name(Trim(pair.substr(0, eq)));
  const std::string value(Trim(pair.substr(eq + 1)));
  bool removed = false;
  std::string_view attributes = headerValue.substr(std::min(headerValue.size(), pair.size()));
  while (!attributes.empty()) {
    attributes.remove_prefix(1);  // the ';'
    const std::string_view attribute = Trim(attributes.substr(0, attributes.find(';')));
    attributes.remove_prefix(std::min(attributes.size(), attributes.find(';')));
    const size_t aeq = attribute.find('=');
    if (aeq != std::string_view::npos && SameIgnoringCase(Trim(attribute.substr(0, aeq)), "Max-Age")) {
      const std::string_view age = Trim(attribute.substr(aeq + 1));
      removed = age == "0" || (!age.empty() && age[0] == '-');
    }
  }
  if (!removed) {
    Set(origin, name, value);
    return;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = byOrigin_.find(origin);
  if (it == byOrigin_.end()) return;
  std::erase_if(it->second, [&](const auto& cookie) { return cookie.first == name; });
}

std::vector<std::pair<std::string, std::string>> CookieStore::For(const std::string& origin) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = byOrigin_.find(origin);
  return it == byOrigin_.end() ? std::vector<std::pair<std::string, std::string>>{} : it->second;
}

void CookieStore::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  byOrigin_.clear();
}

}  // namespace platform::http
