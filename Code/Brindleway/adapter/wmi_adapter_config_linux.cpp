// The adapter configuration instances of this machine: each adapter of the
// registry's network class key with a NetCfgInstanceId whose connection
// (the Linux interface) exists. Methods go to the net layer: the address
// through rtnetlink, DNS servers through the resolver backend, WINS servers
// into the WINS record.
#include <arpa/inet.h>

#include <string_view>

#include "Brindleway/adapter/wmi_adapter_config.h"
#include "platform/net/dns_resolver.h"
#include "platform/net/interface_address.h"
#include "platform/net/ipv4_prefix.h"
#include "platform/net/link.h"
#include "platform/net/net_error.h"
#include "platform/net/wins_servers.h"
#include "platform/registry/registry.h"
#include "platform/win32/win32_error.h"
#include "support/net_adapter.h"
#include "support/registry_value.h"

namespace brindleway {
namespace {

namespace net = platform::net;
namespace reg = platform::registry;

constexpr std::string_view kPathPrefix = "Win32_NetworkAdapterConfiguration.SettingID=\"";

std::string PathOf(const std::string& guid) { return std::string(kPathPrefix) + guid + "\""; }

std::optional<std::string> GuidOf(std::string_view path) {
  if (!path.starts_with(kPathPrefix) || !path.ends_with('"') || path.size() < kPathPrefix.size() + 2) {
    return std::nullopt;
  }
  return std::string(path.substr(kPathPrefix.size(), path.size() - kPathPrefix.size() - 1));
}

// The interface of the adapter; 0 when it has none now.
uint32_t InterfaceOf(const std::string& guid, std::string& ifname) {
  if (GetAdapterConnectionName(guid, ifname) != platform::ERROR_SUCCESS) return 0;
  return net::InterfaceIndex(ifname);
}

const std::vector<std::string>* Param(const AdapterMethodCall& call, std::string_view name) {
  for (const auto& [key, values] : call.params) {
    if (key == name) return &values;
  }
  return nullptr;
}

std::optional<uint32_t> ParseDotted(const std::string& text) {
  in_addr addr{};
  if (::inet_pton(AF_INET, text.c_str(), &addr) != 1) return std::nullopt;
  return addr.s_addr;
}

// The ReturnValue for a net layer result.
uint32_t MethodResult(uint32_t err, uint32_t invalid) {
  switch (err) {
    case platform::ERROR_SUCCESS:
      return 0;
    case platform::ERROR_ACCESS_DENIED:
      return kAdapterConfigAccessDenied;
    case platform::ERROR_INVALID_PARAMETER:
      return invalid;
    case net::ERROR_NOT_FOUND:
      return kAdapterConfigNotFound;
    default:
      return kAdapterConfigUnknownFailure;
  }
}

uint32_t EnableStatic(uint32_t ifIndex, const AdapterMethodCall& call) {
  const auto* addresses = Param(call, "IPAddress");
  const auto* masks = Param(call, "SubNetMask");
  if (addresses == nullptr || masks == nullptr || addresses->size() != 1 || masks->size() != 1)
    return kAdapterConfigInvalidParameter;
  const auto address = ParseDotted(addresses->front());
  const auto mask = ParseDotted(masks->front());
  if (!address || *address == 0) return kAdapterConfigInvalidIpAddress;
  if (!mask || *mask == 0 || !net::PrefixFromMask(*mask)) return kAdapterConfigInvalidSubnetMask;
  return MethodResult(net::SetInterfaceAddress(ifIndex, {*address, *mask, 0}), kAdapterConfigInvalidIpAddress);
}

uint32_t SetDnsServerSearchOrder(const std::string& ifname, const AdapterMethodCall& call) {
  const auto* texts = Param(call, "DNSServerSearchOrder");
  if (texts == nullptr) return kAdapterConfigInvalidParameter;
  std::vector<uint32_t> servers;
  for (const std::string& text : *texts) {
    const auto server = ParseDotted(text);
    if (!server) return kAdapterConfigInvalidIpAddress;
    servers.push_back(*server);
  }
  const std::unique_ptr<net::DnsResolver> resolver = net::OpenDnsResolver();
  if (!resolver) return kAdapterConfigUnknownFailure;
  return MethodResult(resolver->SetDnsServers(ifname, servers), kAdapterConfigInvalidIpAddress);
}

uint32_t SetWinsServer(const std::string& ifname, const AdapterMethodCall& call) {
  const auto* primary = Param(call, "WINSPrimaryServer");
  const auto* secondary = Param(call, "WINSSecondaryServer");
  if (primary == nullptr || secondary == nullptr || primary->size() != 1 || secondary->size() != 1)
    return kAdapterConfigInvalidParameter;
  const auto first = ParseDotted(primary->front());
  const auto second = ParseDotted(secondary->front());
  if (!first || !second) return kAdapterConfigInvalidIpAddress;
  // The pair replaces what was recorded; 0.0.0.0 is no server.
  net::ClearWinsServers(ifname);
  if (*first != 0) net::RecordWinsServer(ifname, *first);
  if (*second != 0) net::RecordWinsServer(ifname, *second);
  return 0;
}

class LinuxAdapterConfigServices final : public AdapterConfigServices {
 public:
  int32_t ExecQuery(std::vector<AdapterConfigInstance>& out) override {
    out.clear();
    reg::Key classKey;
    const uint32_t opened = reg::Key::Open(reg::HKEY_LOCAL_MACHINE, kAdapterClassKey, reg::Access::Read, classKey);
    // No adapter is installed: no instance.
    if (opened == platform::ERROR_FILE_NOT_FOUND) return WMI_S_OK;
    if (opened != platform::ERROR_SUCCESS) return WBEM_E_FAILED;
    for (uint32_t index = 0;; ++index) {
      std::string name;
      const uint32_t err = classKey.EnumKey(index, name);
      if (err == platform::ERROR_NO_MORE_ITEMS) break;
      if (err != platform::ERROR_SUCCESS) return WBEM_E_FAILED;
      reg::Key adapter;
      if (classKey.OpenSubKey(name, reg::Access::Read, adapter) != platform::ERROR_SUCCESS) continue;
      uint32_t type = reg::REG_NONE;
      std::vector<uint8_t> data;
      if (adapter.QueryValue("NetCfgInstanceId", &type, &data) != platform::ERROR_SUCCESS || type != reg::REG_SZ)
        continue;
      const std::string guid = RegSzText(data);
      std::string ifname;
      if (guid.empty() || InterfaceOf(guid, ifname) == 0) continue;
      out.push_back({guid, PathOf(guid)});
    }
    return WMI_S_OK;
  }

  int32_t ExecMethod(const std::string& relPath, const AdapterMethodCall& call,
                     std::optional<uint32_t>& returnValue) override {
    returnValue.reset();
    const auto guid = GuidOf(relPath);
    if (!guid) return WBEM_E_INVALID_PARAMETER;
    std::string ifname;
    const uint32_t ifIndex = InterfaceOf(*guid, ifname);
    // The interface went away since the query.
    if (ifIndex == 0) return WBEM_E_NOT_FOUND;
    if (call.method == "EnableStatic") {
      returnValue = EnableStatic(ifIndex, call);
    } else if (call.method == "SetDNSServerSearchOrder") {
      returnValue = SetDnsServerSearchOrder(ifname, call);
    } else if (call.method == "SetWINSServer") {
      returnValue = SetWinsServer(ifname, call);
    } else {
      return WBEM_E_INVALID_METHOD;
    }
    return WMI_S_OK;
  }
};

}  // namespace

std::unique_ptr<AdapterConfigServices> OpenAdapterConfigServices() {
  return std::make_unique<LinuxAdapterConfigServices>();
}

}  // namespace brindleway
