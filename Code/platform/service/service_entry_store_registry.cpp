// Service entries as registry keys: HKEY_LOCAL_MACHINE
// SYSTEM\CurrentControlSet\Services\<name> with ImagePath and DisplayName
// (REG_SZ) and Type, Start and ErrorControl (REG_DWORD). The same folder
// holds keys that are not services (Tcpip's parameters, for one): only a
// key with an ImagePath is a service entry.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/registry/registry.h"
#include "platform/service/registry_text.h"
#include "platform/service/service.h"
#include "platform/service/service_name.h"
#include "platform/win32/win32_error.h"

namespace platform::service {
namespace {

namespace reg = platform::registry;

std::vector<uint8_t> DwordImage(uint32_t v) {
  return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 24)};
}

// 0, ERROR_FILE_NOT_FOUND, or ERROR_GEN_FAILURE for a value of another
// type or size.
uint32_t ReadDword(const reg::Key& key, const char* name, uint32_t& out) {
  uint32_t type = reg::REG_NONE;
  std::vector<uint8_t> data;
  if (uint32_t err = key.QueryValue(name, &type, &data)) return err;
  if (type != reg::REG_DWORD || data.size() != 4) return ERROR_GEN_FAILURE;
  out = data[0] | (data[1] << 8) | (data[2] << 16) | (static_cast<uint32_t>(data[3]) << 24);
  return ERROR_SUCCESS;
}

uint32_t ReadText(const reg::Key& key, const char* name, std::string& out) {
  uint32_t type = reg::REG_NONE;
  std::vector<uint8_t> data;
  if (uint32_t err = key.QueryValue(name, &type, &data)) return err;
  if (type != reg::REG_SZ && type != reg::REG_EXPAND_SZ) return ERROR_GEN_FAILURE;
  out = detail::RegSzImageText(data);
  return ERROR_SUCCESS;
}

// The key name as it was created (names match without regard to case).
std::string StoredName(const std::string& name) {
  reg::Key services;
  if (reg::Key::Open(reg::HKEY_LOCAL_MACHINE, kServicesKey, reg::Access::Read, services) != ERROR_SUCCESS)
    return name;
  std::string sub;
  for (uint32_t i = 0; services.EnumKey(i, sub) == ERROR_SUCCESS; ++i)
    if (detail::SameServiceName(sub, name)) return sub;
  return name;
}

class RegistryServiceEntryStore final : public ServiceEntryStore {
 public:
  uint32_t Load(const std::string& name, ServiceConfig& out) override {
    if (!detail::IsValidServiceName(name)) return ERROR_INVALID_NAME;
    reg::Key key;
    uint32_t err = reg::Key::Open(reg::HKEY_LOCAL_MACHINE, EntryKey(name), reg::Access::Read, key);
    if (err == ERROR_FILE_NOT_FOUND) return ERROR_SERVICE_DOES_NOT_EXIST;
    if (err != ERROR_SUCCESS) return err;

    ServiceConfig config;
    err = ReadText(key, "ImagePath", config.binaryPathName);
    if (err == ERROR_FILE_NOT_FOUND) return ERROR_SERVICE_DOES_NOT_EXIST;
    if (err != ERROR_SUCCESS) return err;
    err = ReadText(key, "DisplayName", config.displayName);
    if (err != ERROR_SUCCESS && err != ERROR_FILE_NOT_FOUND) return err;
    // A damaged entry is an error: never guess a start type.
    for (auto [valueName, field] : {std::pair{"Type", &config.serviceType},
                                    std::pair{"Start", &config.startType},
                                    std::pair{"ErrorControl", &config.errorControl}}) {
      err = ReadDword(key, valueName, *field);
      if (err == ERROR_FILE_NOT_FOUND) return ERROR_GEN_FAILURE;
      if (err != ERROR_SUCCESS) return err;
    }
    config.name = StoredName(name);
    out = std::move(config);
    return ERROR_SUCCESS;
  }

  uint32_t Save(const ServiceConfig& config) override {
    if (!detail::IsValidServiceName(config.name)) return ERROR_INVALID_NAME;
    reg::Key key;
    if (uint32_t err = reg::Key::Create(reg::HKEY_LOCAL_MACHINE, EntryKey(config.name), reg::Access::Write, key))
      return err;
    // ImagePath last: until it is there, a reader does not take the key
    // for a service.
    const std::vector<uint8_t> display = detail::RegSzImage(config.displayName);
    const std::vector<uint8_t> type = DwordImage(config.serviceType);
    const std::vector<uint8_t> start = DwordImage(config.startType);
    const std::vector<uint8_t> errorControl = DwordImage(config.errorControl);
    const std::vector<uint8_t> image = detail::RegSzImage(config.binaryPathName);
    if (uint32_t err = key.SetValue("DisplayName", reg::REG_SZ, display)) return err;
    if (uint32_t err = key.SetValue("Type", reg::REG_DWORD, type)) return err;
    if (uint32_t err = key.SetValue("Start", reg::REG_DWORD, start)) return err;
    if (uint32_t err = key.SetValue("ErrorControl", reg::REG_DWORD, errorControl)) return err;
    return key.SetValue("ImagePath", reg::REG_SZ, image);
  }

  uint32_t Remove(const std::string& name) override {
    ServiceConfig existing;
    if (uint32_t err = Load(name, existing)) return err;
    reg::Key services;
    if (uint32_t err = reg::Key::Open(reg::HKEY_LOCAL_MACHINE, kServicesKey, reg::Access::Write, services))
      return err;
    const uint32_t err = services.DeleteTree(name);
    return err == ERROR_FILE_NOT_FOUND ? ERROR_SERVICE_DOES_NOT_EXIST : err;
  }

 private:
  static std::string EntryKey(const std::string& name) { return std::string(kServicesKey) + "\\" + name; }
};

}  // namespace

std::unique_ptr<ServiceEntryStore> MakeRegistryServiceEntryStore() {
  return std::make_unique<RegistryServiceEntryStore>();
}

}  // namespace platform::service
