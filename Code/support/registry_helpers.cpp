#include "support/registry_helpers.h"

#include <algorithm>
#include <climits>

#include "platform/win32/win32_error.h"
#include "support/log.h"
#include "support/registry_value.h"

namespace reg = platform::registry;

namespace {

// The string reader shared by the machine and user forms: 0, -1 (key), -2
// (value) or -3 (capacity).
int ReadString(reg::RootKey root, std::string_view subkey, std::string_view name,
               std::string& out, uint32_t& size) {
  reg::Key key;
  if (reg::Key::Open(root, subkey, reg::Access::Read, key) != platform::ERROR_SUCCESS) return -1;
  uint32_t type = reg::REG_NONE;
  std::vector<uint8_t> data;
  if (key.QueryValue(name, &type, &data) != platform::ERROR_SUCCESS) return -2;
  if (type != reg::REG_SZ || data.size() > REG_STRING_READ_BYTES) return -2;
  // The text ends at its first NUL or at the end of the data, stored
  // terminator or not.
  const size_t withTerminator = RegSzUnits(data) + 1;
  if (size <= withTerminator) return -3;
  out = RegSzText(data);
  size = static_cast<uint32_t>(withTerminator);
  return 0;
}

int WriteString(reg::RootKey root, std::string_view subkey, std::string_view name,
                std::string_view text) {
  reg::Key key;
  if (reg::Key::Create(root, subkey, reg::Access::Write, key) != platform::ERROR_SUCCESS) return -1;
  const std::vector<uint8_t> data = RegSzBytes(text, false);
  return key.SetValue(name, reg::REG_SZ, data) == platform::ERROR_SUCCESS ? 0 : -1;
}

int DeleteString(reg::RootKey root, std::string_view subkey, std::string_view name) {
  reg::Key key;
  if (reg::Key::Create(root, subkey, reg::Access::Write, key) != platform::ERROR_SUCCESS) return -1;
  return key.DeleteValue(name) == platform::ERROR_SUCCESS ? 0 : -1;
}

}  // namespace

int RegReadProductValue(std::string_view name, std::string& out, uint32_t& size) {
  return ReadString(reg::HKEY_LOCAL_MACHINE, PRODUCT_SETTINGS_KEY, name, out, size);
}

int RegWriteProductValue(std::string_view name, std::string_view text) {
  return WriteString(reg::HKEY_LOCAL_MACHINE, PRODUCT_SETTINGS_KEY, name, text);
}

int RegDeleteProductValue(std::string_view name) {
  return DeleteString(reg::HKEY_LOCAL_MACHINE, PRODUCT_SETTINGS_KEY, name);
}

int RegReadUserValue(std::string_view subkey, std::string_view name, std::string& out,
                     uint32_t& size) {
  return ReadString(reg::HKEY_CURRENT_USER, subkey, name, out, size) == 0 ? 0 : -1;
}

int RegWriteUserValue(std::string_view subkey, std::string_view name, std::string_view text) {
  return WriteString(reg::HKEY_CURRENT_USER, subkey, name, text);
}

int RegDeleteUserValue(std::string_view subkey, std::string_view name) {
  return DeleteString(reg::HKEY_CURRENT_USER, subkey, name);
}

uint32_t RegReadValue(reg::RootKey root, std::string_view subkey, std::string_view name,
                      uint32_t* type, std::vector<uint8_t>& data) {
  reg::Key key;
  if (uint32_t err = reg::Key::Open(root, subkey, reg::Access::Read, key);
      err != platform::ERROR_SUCCESS) {
    LogPrint(LOG_ERR, "Error %d in opening subkey %s\n", err, std::string(subkey));
    return err;
  }
  if (uint32_t err = key.QueryValue(name, type, &data); err != platform::ERROR_SUCCESS) {
    LogPrint(LOG_ERR, "Error %d in querying value of %s.\n", err, std::string(name));
    return err;
  }
  return platform::ERROR_SUCCESS;
}

uint32_t RegWriteValue(reg::RootKey root, std::string_view subkey, std::string_view name,
                       uint32_t type, std::span<const uint8_t> data) {
  reg::Key key;
  if (uint32_t err = reg::Key::Open(root, subkey, reg::Access::Write, key);
      err != platform::ERROR_SUCCESS) {
    LogPrint(LOG_ERR, "Error %d in opening subkey %s\n", err, std::string(subkey));
    return err;
  }
  if (uint32_t err = key.SetValue(name, type, data); err != platform::ERROR_SUCCESS) {
    LogPrint(LOG_ERR, "Error %d in setting value of %s.\n", err, std::string(name));
    LogHexDump("The value is ........", data.data(),
               static_cast<int>(std::min<size_t>(data.size(), INT_MAX)));
    return err;
  }
  return platform::ERROR_SUCCESS;
}
