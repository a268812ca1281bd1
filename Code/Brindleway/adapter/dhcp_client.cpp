#include "Brindleway/adapter/dhcp_client.h"

#include "support/log.h"

namespace brindleway {
namespace {

constexpr uint32_t kStartDisabled = 4;
constexpr uint32_t kStateRunning = 4;

}  // namespace

bool EnsureDhcpClientRunning(uint32_t& startType, uint32_t& state, CServiceControl& control) {
  control.Init(kDhcpServiceName);
  if (control.GetStartType(&startType) == 0) return false;
  if (startType == kStartDisabled && control.SetDemandStart() != 0) return false;
  state = control.QueryState();
  if (state == kStateRunning) return false;
  LogPrint(LOG_DEBUG, "StartService --- DHCP\n");
  return control.Start() == 0;
}

bool EnsureDhcpClientRunning(uint32_t& startType, uint32_t& state) {
  CServiceControl control;
  return EnsureDhcpClientRunning(startType, state, control);
}

bool RestoreDhcpClientStatus(uint32_t startType, uint32_t, CServiceControl& control) {
  LogPrint(LOG_DEBUG, "RestDHCPClientStatus\n");
  control.Init(kDhcpServiceName);
  if (control.QueryState() == kStateRunning) control.Stop();
  if (startType == kStartDisabled) return control.Disable() == 0;
  return true;
}

bool RestoreDhcpClientStatus(uint32_t startType, uint32_t state) {
  CServiceControl control;
  return RestoreDhcpClientStatus(startType, state, control);
}

}  // namespace brindleway
