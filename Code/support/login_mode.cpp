#include "support/login_mode.h"

#include <cstdlib>
#include <optional>
#include <string>

#include "support/log.h"

namespace {

constexpr char kLoginModeCurrent[] = "LoginModeCurrent";

// The number the text starts with, as the C library reads it; 3 for empty text.
int ModeFromText(const std::string& text) {
  if (text.empty()) return LOGIN_MODE_NOT_SET;
  return static_cast<int>(std::strtol(text.c_str(), nullptr, 10));
}

std::optional<std::string_view> ServerKey(std::string_view login) {
  const size_t at = login.find('@');
  const size_t colon = login.find(':');
  if (at == std::string_view::npos || colon == std::string_view::npos || colon < at) return std::nullopt;
  return login.substr(at + 1, colon - at - 1);
}

}  // namespace

int GetLoginModeCurrent(const ConfigList& list, int* mode) {
  std::string value;
  if (mode == nullptr || ConfigGetValue(list, kLoginModeCurrent, value) != 0) {
    LogPrint(LOG_ERR, "Get current login mode failed\n");
    return -1;
  }
  *mode = ModeFromText(value);
  return 0;
}

int SetLoginModeCurrent(ConfigList& list, int mode) {
  return ConfigSetValue(list, kLoginModeCurrent, FormatText("%d", mode));
}

int GetServerLoginMode(const ConfigList& list, std::string_view login, int* mode) {
  const auto key = ServerKey(login);
  if (!key || mode == nullptr) return -1;
  std::string value;
  if (ConfigGetValue(list, *key, value) != 0) return -1;
  *mode = ModeFromText(value);
  return 0;
}

int SetServerLoginMode(ConfigList& list, std::string_view login, int mode) {
  const auto key = ServerKey(login);
  if (!key) return -1;
  return ConfigSetValue(list, *key, FormatText("%d", mode));
}
