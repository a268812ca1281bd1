// The DHCP client service must run while the tunnel's address is set; it is
// started for the set-up and put back afterwards.
#pragma once

#include <cstdint>

#include "support/service_control.h"

namespace brindleway {

inline constexpr char kDhcpServiceName[] = "Dhcp";

// True when this call started the service; its start type and state before
// are returned for the restore.
bool EnsureDhcpClientRunning(uint32_t& startType, uint32_t& state, CServiceControl& control);
bool EnsureDhcpClientRunning(uint32_t& startType, uint32_t& state);
// Stops the service and disables it again when it was disabled.
bool RestoreDhcpClientStatus(uint32_t startType, uint32_t state, CServiceControl& control);
bool RestoreDhcpClientStatus(uint32_t startType, uint32_t state);

}  // namespace brindleway
