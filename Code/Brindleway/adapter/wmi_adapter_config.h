// The second way of configuring the tunnel adapter: through its adapter
// configuration instance (what the system reached through WMI's
// Win32_NetworkAdapterConfiguration), found by the adapter's GUID. When a
// route is refused because the interface has no address yet, the route
// code sets it through the adapter layer directly instead: that keeps the
// link's far end, which EnableStatic has no field for. The DNS and WINS
// setters are complete but the tunnel service configures those through
// adapter_address.h.
//
// One method call:
//   1. query the configuration instances; the first whose SettingID equals
//      the GUID exactly is the adapter's (none: 0x80041002, nothing is called)
//   2. execute the method on its path with the parameters as text arrays
//   3. the result is the method's ReturnValue (0 success)
//
// Results are COM statuses (negative) or the method's nonzero ReturnValue.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace brindleway {

inline constexpr int32_t WMI_S_OK = 0;
inline constexpr int32_t WMI_E_INVALIDARG = static_cast<int32_t>(0x80070057);
inline constexpr int32_t WBEM_E_FAILED = static_cast<int32_t>(0x80041001);
inline constexpr int32_t WBEM_E_NOT_FOUND = static_cast<int32_t>(0x80041002);
inline constexpr int32_t WBEM_E_INVALID_PARAMETER = static_cast<int32_t>(0x80041008);
inline constexpr int32_t WBEM_E_INVALID_METHOD = static_cast<int32_t>(0x8004102E);

// ReturnValue of the adapter configuration methods.
inline constexpr uint32_t kAdapterConfigUnknownFailure = 65;
inline constexpr uint32_t kAdapterConfigInvalidSubnetMask = 66;
inline constexpr uint32_t kAdapterConfigInvalidParameter = 68;
inline constexpr uint32_t kAdapterConfigInvalidIpAddress = 70;
inline constexpr uint32_t kAdapterConfigAccessDenied = 91;
inline constexpr uint32_t kAdapterConfigNotFound = 94;

// One configuration instance as the query returns it.
struct AdapterConfigInstance {
  std::string settingId;  // the adapter's GUID, in braces
  std::string relPath;    // what methods are executed on
};

// A method call: its name and its parameters, each an array of texts.
struct AdapterMethodCall {
  std::string method;
  std::vector<std::pair<std::string, std::vector<std::string>>> params;
};

// What the method calls run against (WMI's services on the system it was
// written for).
class AdapterConfigServices {
 public:
  virtual ~AdapterConfigServices() = default;
  // Every configuration instance. 0 or a failure status.
  virtual int32_t ExecQuery(std::vector<AdapterConfigInstance>& out) = 0;
  // Executes the method on the instance. A failure status, or 0 with the
  // method's ReturnValue (none when the method gave none).
  virtual int32_t ExecMethod(const std::string& relPath, const AdapterMethodCall& call,
                             std::optional<uint32_t>& returnValue) = 0;
};

// The configuration of this machine's adapters: the adapters of the registry
// (class key, NetCfgInstanceId) whose interface exists, configured through
// the net layer (rtnetlink address, resolver backend, WINS record).
std::unique_ptr<AdapterConfigServices> OpenAdapterConfigServices();

// The path of the instance whose SettingID equals guid. 0 with *path set;
// WMI_E_INVALIDARG for an empty guid, null services or path, or a path
// already set; the query's failure ("ExecQuery() error\n"); WBEM_E_NOT_FOUND
// when no instance matches.
int32_t FindAdapterConfigPath(const std::string& guid, AdapterConfigServices* services, std::string* path);

// EnableStatic with IPAddress and SubNetMask, each one dotted address.
int32_t WmiEnableStatic(AdapterConfigServices& services, const std::string& guid, const std::string& address,
                        const std::string& netmask);
// SetWINSServer with WINSPrimaryServer and WINSSecondaryServer.
int32_t WmiSetWinsServer(AdapterConfigServices& services, const std::string& guid, const std::string& primary,
                         const std::string& secondary);
// SetDNSServerSearchOrder with every server (IPv4, network order) in order.
int32_t WmiSetDnsServerSearchOrder(AdapterConfigServices& services, const std::string& guid,
                                   std::span<const uint32_t> servers);

// The adapter's static address (IPv4, network order); the services of this
// machine unless given.
int32_t SetIpAddress(const std::string& guid, uint32_t address, uint32_t netmask);
int32_t SetIpAddress(AdapterConfigServices& services, const std::string& guid, uint32_t address, uint32_t netmask);
int32_t SetWins(const std::string& guid, uint32_t primary, uint32_t secondary);
int32_t SetWins(AdapterConfigServices& services, const std::string& guid, uint32_t primary, uint32_t secondary);

}  // namespace brindleway
