#include "support/registry_logins.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "platform/registry/registry.h"
#include "platform/win32/win32_error.h"
#include "support/log.h"
#include "support/registry_helpers.h"

namespace reg = platform::registry;

namespace {

// A count beyond any real list of saved users; a damaged LoginUserNum must
// not keep the import reading for ever.
constexpr int kMaxRegistryLogins = 1000;

// The count LoginUserNum holds, read as the decimal number it starts with.
int StoredLoginCount(const std::string& text) {
  const long n = std::strtol(text.c_str(), nullptr, 10);
  return static_cast<int>(std::clamp<long>(n, 0, kMaxRegistryLogins));
}

bool ReadProductValue(const std::string& name, std::string& out) {
  uint32_t size = REG_STRING_READ_BYTES;
  return RegReadProductValue(name, out, size) == 0;
}

}  // namespace

RegistryLoginImport ImportRegistryLogins(ConfigList& list) {
  RegistryLoginImport result;
  std::string count;
  if (!ReadProductValue("LoginUserNum", count)) return result;
  result.found = true;

  std::vector<ConfigEntry> found = {{"LoginUserNum", count}};
  const int n = StoredLoginCount(count);
  for (int i = 1; i <= n; ++i) {
    const std::string name = FormatText("LoginUser%d", i);
    if (std::string user; ReadProductValue(name, user)) found.push_back({name, user});
  }
  if (std::string current; ReadProductValue("LoginUserCurrent", current)) found.push_back({"LoginUserCurrent", current});

  ConfigList imported;
  for (const ConfigEntry& e : found) {
    const bool present = std::any_of(list.entries.begin(), list.entries.end(),
                                     [&](const ConfigEntry& have) { return ConfigTextEquals(have.key, e.key); });
    if (!present) ConfigAppendEntry(imported, e.key, e.value);
  }
  result.added = static_cast<int>(imported.entries.size());
  list.entries.insert(list.entries.begin(), imported.entries.begin(), imported.entries.end());
  return result;
}

int DeleteRegistryLogins() {
  reg::Key key;
  const uint32_t opened = reg::Key::Open(reg::HKEY_LOCAL_MACHINE, PRODUCT_SETTINGS_KEY, reg::Access::Write, key);
  if (opened == platform::ERROR_FILE_NOT_FOUND) return 0;
  if (opened != platform::ERROR_SUCCESS) return -1;

  std::string count;
  const int n = ReadProductValue("LoginUserNum", count) ? StoredLoginCount(count) : 0;
  std::vector<std::string> names = {"LoginUserCurrent", "DefaultVPNServer", "DefaultVPNPort"};
  for (int i = 1; i <= n; ++i) names.push_back(FormatText("LoginUser%d", i));
  names.push_back("LoginUserNum");

  int result = 0;
  for (const std::string& name : names) {
    const uint32_t err = key.DeleteValue(name);
    if (err != platform::ERROR_SUCCESS && err != platform::ERROR_FILE_NOT_FOUND) result = -1;
  }
  return result;
}
