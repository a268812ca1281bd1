#include "Brindleway/adapter/wmi_adapter_config.h"

#include "Brindleway/common/constants.h"
#include "Brindleway/common/debug_trace.h"
#include "support/ipv4_text.h"
#include "support/log.h"

namespace brindleway {
namespace {

// Steps 1 to 3 of one method call. warnName names the method in the line
// for a missing ReturnValue.
int32_t CallAdapterMethod(AdapterConfigServices& services, const std::string& guid, const AdapterMethodCall& call,
                          const char* warnName) {
  std::string path;
  if (const int32_t hr = FindAdapterConfigPath(guid, &services, &path); hr != WMI_S_OK) return hr;
  DebugTrace(TRACE_SETUP, "Found Adapter Instance\n");

  DebugTrace(TRACE_SETUP, "Calling ExecMethod NOW...          \n");
  std::optional<uint32_t> returnValue;
  if (const int32_t hr = services.ExecMethod(path, call, returnValue); hr != WMI_S_OK) {
    LogPrint(LOG_ERR, "ExecMethod failed\n");
    return hr;
  }
  if (!returnValue) {
    // Without its ReturnValue the call cannot count as a success.
    LogPrint(LOG_WARNING, "WARNING: Could not determine return value for %s\n", warnName);
    return WBEM_E_NOT_FOUND;
  }
  return static_cast<int32_t>(*returnValue);
}

}  // namespace

int32_t FindAdapterConfigPath(const std::string& guid, AdapterConfigServices* services, std::string* path) {
  if (guid.empty() || services == nullptr || path == nullptr || !path->empty()) return WMI_E_INVALIDARG;
  std::vector<AdapterConfigInstance> instances;
  if (const int32_t hr = services->ExecQuery(instances); hr != WMI_S_OK) {
    LogPrint(LOG_ERR, "ExecQuery() error\n");
    return hr;
  }
  for (const AdapterConfigInstance& instance : instances) {
    if (instance.settingId != guid) continue;
    DebugTrace(TRACE_SETUP, "Found adapter %s\n", guid);
    *path = instance.relPath;
    return WMI_S_OK;
  }
  return WBEM_E_NOT_FOUND;
}

int32_t WmiEnableStatic(AdapterConfigServices& services, const std::string& guid, const std::string& address,
                        const std::string& netmask) {
  const AdapterMethodCall call{"EnableStatic", {{"IPAddress", {address}}, {"SubNetMask", {netmask}}}};
  return CallAdapterMethod(services, guid, call, "EnableStatic");
}

int32_t WmiSetWinsServer(AdapterConfigServices& services, const std::string& guid, const std::string& primary,
                         const std::string& secondary) {
  const AdapterMethodCall call{"SetWINSServer",
                               {{"WINSPrimaryServer", {primary}}, {"WINSSecondaryServer", {secondary}}}};
  const int32_t result = CallAdapterMethod(services, guid, call, "EnableStatic");
  if (result == WMI_S_OK) {
    LogPrint(LOG_INFO, "SetWINSServer succeeded\n");
  } else {
    LogPrint(LOG_ERR, "SetWINSServer failed\n");
  }
  return result;
}

int32_t WmiSetDnsServerSearchOrder(AdapterConfigServices& services, const std::string& guid,
                                   std::span<const uint32_t> servers) {
  AdapterMethodCall call{"SetDNSServerSearchOrder", {{"DNSServerSearchOrder", {}}}};
  for (uint32_t server : servers) {
    const std::string dotted = DottedIPv4(server);
    DebugTrace(TRACE_SETUP, "DNS server: %s\n", dotted);
    call.params[0].second.push_back(dotted);
  }
  const int32_t result = CallAdapterMethod(services, guid, call, "SetDNSServerSearchOrder");
  if (result == WMI_S_OK) {
    LogPrint(LOG_INFO, "SetDNSServerSearchOrder succeeded\n");
  } else {
    LogPrint(LOG_ERR, "SetDNSServerSearchOrder failed\n");
  }
  return result;
}

int32_t SetIpAddress(AdapterConfigServices& services, const std::string& guid, uint32_t address, uint32_t netmask) {
  const std::string dottedAddress = DottedIPv4(address);
  const std::string dottedMask = DottedIPv4(netmask);
  DebugTrace(TRACE_SETUP, "Running SetIpAddress()...\n");
  DebugTrace(TRACE_SETUP, "Set tunnel address %s/%s\n", dottedAddress, dottedMask);
  return WmiEnableStatic(services, guid, dottedAddress, dottedMask);
}

int32_t SetIpAddress(const std::string& guid, uint32_t address, uint32_t netmask) {
  const auto services = OpenAdapterConfigServices();
  return SetIpAddress(*services, guid, address, netmask);
}

int32_t SetWins(AdapterConfigServices& services, const std::string& guid, uint32_t primary, uint32_t secondary) {
  DebugTrace(TRACE_SETUP, "Running SetWins ()...\n");
  return WmiSetWinsServer(services, guid, DottedIPv4(primary), DottedIPv4(secondary));
}

int32_t SetWins(const std::string& guid, uint32_t primary, uint32_t secondary) {
  const auto services = OpenAdapterConfigServices();
  return SetWins(*services, guid, primary, secondary);
}

}  // namespace brindleway
