#include "platform/service/virtual_adapter.h"

#include <fcntl.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/registry/registry.h"
#include "platform/service/registry_text.h"
#include "platform/unique_fd.h"
#include "platform/win32/win32_error.h"

namespace platform::service {

bool VirtualAdapterRegistered() {
  namespace reg = platform::registry;
  reg::Key adapters;
  if (reg::Key::Open(reg::HKEY_LOCAL_MACHINE, kNetworkAdapterClassKey, reg::Access::Read, adapters) !=
      ERROR_SUCCESS)
    return false;
  std::string name;
  for (uint32_t i = 0; adapters.EnumKey(i, name) == ERROR_SUCCESS; ++i) {
    reg::Key adapter;
    if (adapters.OpenSubKey(name, reg::Access::Read, adapter) != ERROR_SUCCESS) continue;
    uint32_t type = reg::REG_NONE;
    std::vector<uint8_t> data;
    if (adapter.QueryValue("ComponentId", &type, &data) != ERROR_SUCCESS || type != reg::REG_SZ) continue;
    if (detail::RegSzImageText(data) == kVirtualAdapterComponentId) return true;
  }
  return false;
}

bool VirtualAdapterUsable(const std::string& tunDevice) {
  if (!VirtualAdapterRegistered()) return false;
  platform::UniqueFd fd(::open(tunDevice.c_str(), O_RDWR | O_CLOEXEC));
  return fd.get() >= 0;
}

}  // namespace platform::service
