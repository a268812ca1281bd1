#include "support/net_adapter.h"

#include "platform/net/link.h"
#include "platform/net/net_error.h"
#include "platform/registry/registry.h"
#include "platform/win32/win32_error.h"
#include "support/log.h"
#include "support/registry_helpers.h"
#include "support/registry_value.h"
#include "support/utf16.h"

namespace reg = platform::registry;

namespace {

// Subkey names longer than this do not fit the enumeration's buffer.
constexpr size_t kClassSubkeyUnits = 32;

// The REG_SZ text of a value, or the failure.
uint32_t QuerySz(const reg::Key& key, const char* name, std::string& text) {
  uint32_t type = reg::REG_NONE;
  std::vector<uint8_t> data;
  if (uint32_t err = key.QueryValue(name, &type, &data); err != platform::ERROR_SUCCESS) return err;
  if (type != reg::REG_SZ) return platform::ERROR_INVALID_DATA;
  text = RegSzText(data);
  return platform::ERROR_SUCCESS;
}

}  // namespace

int GetTunAdapterGuid(std::string& out, int size) {
  reg::Key classKey;
  if (uint32_t err = reg::Key::Open(reg::HKEY_LOCAL_MACHINE, kAdapterClassKey, reg::Access::Read, classKey);
      err != platform::ERROR_SUCCESS) {
    LogPrint(LOG_ERR, "Error open registry: %s (%d)\n", kAdapterClassKey, err);
    return -1;
  }
  bool found = false;
  for (uint32_t index = 0;; ++index) {
    std::string name;
    uint32_t err = classKey.EnumKey(index, name);
    if (err == platform::ERROR_NO_MORE_ITEMS) break;
    if (err == platform::ERROR_SUCCESS && Utf16Length(name) > kClassSubkeyUnits) err = platform::ERROR_MORE_DATA;
    if (err != platform::ERROR_SUCCESS) {
      LogPrint(LOG_ERR, "Error, enumerate key %s, index %d (%d)\n", kAdapterClassKey, index, err);
      // A name too long for the buffer skips one subkey; any other failure
      // would fail again at every index, so the walk ends.
      if (err == platform::ERROR_MORE_DATA) continue;
      break;
    }
    reg::Key adapter;
    if (err = classKey.OpenSubKey(name, reg::Access::Read, adapter); err != platform::ERROR_SUCCESS) {
      LogPrint(LOG_ERR, "Can not open registry: %s (%d)\n", name, err);
      continue;
    }
    std::string componentId;
    if (QuerySz(adapter, "ComponentId", componentId) != platform::ERROR_SUCCESS ||
        componentId != kTunComponentId) {
      continue;
    }
    std::string guid;
    if (err = QuerySz(adapter, "NetCfgInstanceId", guid); err != platform::ERROR_SUCCESS) {
      LogPrint(LOG_ERR, "Can not query NetCfgInstanceId: %s (%d)\n", name, err);
      continue;
    }
    out = CutUtf8ToUnits(guid, size > 0 ? static_cast<size_t>(size - 1) : 0);
    found = true;
  }
  return found ? 0 : -1;
}

uint32_t GetAdapterDescription(const std::string& guid, std::string& description) {
  reg::Key classKey;
  if (uint32_t err = reg::Key::Open(reg::HKEY_LOCAL_MACHINE, kAdapterClassKey, reg::Access::Read, classKey);
      err != platform::ERROR_SUCCESS) {
    return err;
  }
  for (uint32_t index = 0;; ++index) {
    std::string name;
    const uint32_t err = classKey.EnumKey(index, name);
    if (err == platform::ERROR_NO_MORE_ITEMS) break;
    if (err != platform::ERROR_SUCCESS) return err;
    reg::Key adapter;
    std::string id;
    if (classKey.OpenSubKey(name, reg::Access::Read, adapter) != platform::ERROR_SUCCESS ||
        QuerySz(adapter, "NetCfgInstanceId", id) != platform::ERROR_SUCCESS || id != guid) {
      continue;
    }
    return QuerySz(adapter, "DriverDesc", description);
  }
  return platform::net::ERROR_NOT_FOUND;
}

uint32_t GetAdapterConnectionName(const std::string& guid, std::string& name, uint32_t size) {
  reg::Key network;
  uint32_t err = reg::Key::Open(reg::HKEY_LOCAL_MACHINE, kNetworkConnectionsKey, reg::Access::Read, network);
  if (err != platform::ERROR_SUCCESS) {
    LogPrint(LOG_ERR, "Error open registry [%ld]: %s\n", err, kNetworkConnectionsKey);
    return err;
  }
  const std::string subkey = FormatText("%s\\%s\\Connection", kNetworkConnectionsKey, guid);
  reg::Key connection;
  // A GUID holding a separator would name some other key.
  if (guid.empty() || guid.find('\\') != std::string::npos) {
    err = platform::ERROR_FILE_NOT_FOUND;
  } else {
    err = reg::Key::Open(reg::HKEY_LOCAL_MACHINE, subkey, reg::Access::Read, connection);
  }
  if (err != platform::ERROR_SUCCESS) {
    LogPrint(LOG_ERR, "Can not open registry [%ld]: %s\n", err, subkey);
    return err;
  }
  std::string text;
  if (err = QuerySz(connection, "Name", text); err != platform::ERROR_SUCCESS) {
    LogPrint(LOG_ERR, "Can not query name, or type not matching [%ld]: %s\n", err, subkey);
    return err;
  }
  if (size == 0 || Utf16Length(text) > size - 1) return platform::ERROR_MORE_DATA;
  name = text;
  return platform::ERROR_SUCCESS;
}

int64_t GetAdapterIndexByGuid(const std::string& guid) {
  const std::string interfaceName = FormatText("\\DEVICE\\TCPIP_%s", guid);
  std::string connection;
  uint32_t err = GetAdapterConnectionName(guid, connection);
  if (err == platform::ERROR_SUCCESS) {
    const uint32_t index = platform::net::InterfaceIndex(connection);
    if (index != 0) return index;
    err = platform::ERROR_FILE_NOT_FOUND;
  }
  LogPrint(LOG_ERR, "Could not get adapter index for %s[%ld]\n", interfaceName, err);
  return -1;
}

int GetTunAdapterIndex(uint32_t& index) {
  std::string guid;
  if (GetTunAdapterGuid(guid) != 0) {
    LogPrint(LOG_ERR, "Get adapter name failed\n");
    return -1;
  }
  const int64_t found = GetAdapterIndexByGuid(guid);
  if (found < 0) {
    LogPrint(LOG_ERR, "Get interface index failed\n");
    return -1;
  }
  index = static_cast<uint32_t>(found);
  return 0;
}

int64_t GetAdapterIndexByName(const std::string& adapterName) {
  // The name as the adapter list holds it: at most 256 bytes with the
  // terminator, so a longer one cannot match.
  if (adapterName.size() >= 256) return -1;
  std::vector<platform::net::LinkInfo> links;
  if (uint32_t err = platform::net::GetLinks(links); err != platform::ERROR_SUCCESS) {
    LogPrint(LOG_ERR, "GetAdaptersInfo #2 failed [%d] ", err);
    return -1;
  }
  for (const platform::net::LinkInfo& link : links) {
    if (link.name == adapterName) return link.index;
  }
  return -1;
}

std::u16string MultiSzToLines(std::u16string units) {
  for (size_t i = 0; i + 1 < units.size(); ++i) {
    if (units[i] == u'\0' && units[i + 1] != u'\0') units[i] = u'\n';
  }
  return units;
}

std::u16string LinesToMultiSz(std::u16string units) {
  for (char16_t& c : units) {
    if (c == u'\n') c = u'\0';
  }
  return units;
}

uint32_t ReadTcpipBind(std::string& out) {
  uint32_t type = reg::REG_NONE;
  std::vector<uint8_t> data;
  if (uint32_t err = RegReadValue(reg::HKEY_LOCAL_MACHINE, kTcpipLinkageKey, "Bind", &type, data);
      err != platform::ERROR_SUCCESS) {
    return err;
  }
  std::u16string units =
      MultiSzToLines(Utf16FromLeBytes(std::string_view(reinterpret_cast<const char*>(data.data()), data.size())));
  // The text ends at the terminators that stayed.
  if (const size_t end = units.find(u'\0'); end != std::u16string::npos) units.resize(end);
  out = Utf16ToUtf8(units);
  return platform::ERROR_SUCCESS;
}

uint32_t SetTcpipLinkageBind(const std::string& lines) {
  // Two more units: the last string's terminator and the list's.
  std::u16string units = LinesToMultiSz(Utf8ToUtf16(lines));
  units.append(2, u'\0');
  const std::string bytes = Utf16LeBytes(units);
  return RegWriteValue(reg::HKEY_LOCAL_MACHINE, kTcpipLinkageKey, "Bind", reg::REG_MULTI_SZ,
                       std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
}
