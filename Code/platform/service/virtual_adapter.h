// Whether the virtual network adapter is there to be used: what the
// built-in service "vqsvc" reports as running.
#pragma once

#include <string>

namespace platform::service {

// The registry class key of network adapters (below HKEY_LOCAL_MACHINE);
// one subkey per adapter with the REG_SZ values ComponentId and
// NetCfgInstanceId.
inline constexpr char kNetworkAdapterClassKey[] =
    "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}";
inline constexpr char kVirtualAdapterComponentId[] = "vqsvc";

// True when a subkey of the class key has the ComponentId "vqsvc" (REG_SZ,
// exact case).
bool VirtualAdapterRegistered();

// Registered, and the tunnel device opens for reading and writing.
bool VirtualAdapterUsable(const std::string& tunDevice = "/dev/net/tun");

}  // namespace platform::service
