#include "client/ui/interface_page.h"

#include <cstdio>

#include "platform/net/dns_resolver.h"
#include "platform/net/wins_servers.h"
#include "platform/ui/win32_ui.h"
#include "support/ipv4_text.h"
#include "support/log.h"
#include "support/net_adapter.h"
#include "support/utf16.h"

using namespace platform::ui;
namespace net = platform::net;

namespace client {

const DialogTemplate& InterfacePageTemplate() {
  static const DialogTemplate templ(
      IDD_INTERFACE_PAGE,
      {
          {.kind = ControlKind::GroupBox, .row = 0, .col = 0, .rowSpan = 9, .colSpan = 2},  // Adapter Information
          {.kind = ControlKind::Label, .row = 0, .col = 0},
          {.id = IDC_ADAPTER_NAME, .kind = ControlKind::Label, .row = 0, .col = 1},
          {.kind = ControlKind::Label, .row = 1, .col = 0},
          {.id = IDC_ADDRESS_TYPE, .kind = ControlKind::Label, .row = 1, .col = 1},
          {.kind = ControlKind::Label, .row = 2, .col = 0},
          {.id = IDC_NETWORK_ADDRESS, .kind = ControlKind::Label, .row = 2, .col = 1},
          {.kind = ControlKind::Label, .row = 3, .col = 0},
          {.id = IDC_SUBNET_MASK, .kind = ControlKind::Label, .row = 3, .col = 1},
          {.kind = ControlKind::Label, .row = 4, .col = 0},
          {.id = IDC_DEFAULT_GATEWAY, .kind = ControlKind::Label, .row = 4, .col = 1},
          {.kind = ControlKind::Label, .row = 5, .col = 0},
          {.id = IDC_ADAPTER_TYPE, .kind = ControlKind::Label, .row = 5, .col = 1},
          {.kind = ControlKind::Label, .row = 6, .col = 0},
          {.id = IDC_PHYSICAL_ADDRESS, .kind = ControlKind::Label, .row = 6, .col = 1},
          {.id = IDC_DHCP_SERVER_LABEL, .kind = ControlKind::Label, .row = 7, .col = 0},
          {.id = IDC_DHCP_SERVER, .kind = ControlKind::Label, .row = 7, .col = 1},
          {.kind = ControlKind::Label, .row = 8, .col = 0},
          {.id = IDC_ADAPTER_STATUS, .kind = ControlKind::Label, .row = 8, .col = 1},
          {.kind = ControlKind::Label, .row = 9, .col = 0},  // DNS Server Addresses
          {.kind = ControlKind::Label, .row = 9, .col = 1},  // WINS Addresses
          {.id = IDC_DNS_LIST, .kind = ControlKind::ListBox, .row = 10, .col = 0},
          {.id = IDC_WINS_LIST, .kind = ControlKind::ListBox, .row = 10, .col = 1},
      },
      false, true);
  return templ;
}

std::string AdapterNameText(const std::string& description) {
  constexpr size_t kShown = 55;
  const size_t dash = description.find('-');
  if (dash != std::string::npos && Utf16Length(description.substr(0, dash)) < kShown) return description.substr(0, dash);
  if (Utf16Length(description) > kShown) return CutUtf8ToUnits(description, kShown) + "...";
  return description;
}

uint32_t AdapterTypeText(uint32_t type) {
  switch (type) {
    case 1: return 1137;
    case 6: return 1138;
    case 9: return 1139;
    case 15: return 1140;
    case 23: return 1141;
    case 24: return 1142;
    case 28: return 1143;
    default: return 1144;
  }
}

std::string PhysicalAddressText(const std::vector<uint8_t>& a) {
  uint8_t b[6] = {};
  for (size_t i = 0; i < 6 && i < a.size(); ++i) b[i] = a[i];
  char text[24];
  std::snprintf(text, sizeof text, "%02X-%02X-%02X-%02X-%02X-%02X", b[0], b[1], b[2], b[3], b[4], b[5]);
  return text;
}

uint32_t AdapterStatusText(uint32_t operStatus) {
  switch (operStatus) {
    case 0:
    case 2: return IDS_DOWN;
    case 4:
    case 5: return IDS_UP;
    default: return 0;
  }
}

bool FindTunnelAdapter(TunnelAdapterId& id) {
  id = {};
  if (GetTunAdapterGuid(id.guid) != 0) return false;
  if (uint32_t err = GetAdapterConnectionName(id.guid, id.name); err != 0) {
    LogPrint(LOG_ERR, "Get interface index failed (%d)\n", err);
    return false;
  }
  // Without a description the system shows the adapter's name.
  if (GetAdapterDescription(id.guid, id.description) != 0 || id.description.empty()) id.description = id.name;
  return true;
}

void InterfacePageLogic::OnShow(Dialog& d, bool shown) {
  if (shown)
    d.SetTimer(kInterfaceTimer, kInterfacePeriodMs);
  else
    d.KillTimer(kInterfaceTimer);
}

void InterfacePageLogic::OnTimer(Dialog& d, uint32_t id) {
  if (id == kInterfaceTimer) Fill(d);
}

void InterfacePageLogic::Fill(Dialog& d) {
  TunnelAdapterId adapter;
  if (!FindTunnelAdapter(adapter)) return;
  std::vector<net::AdapterInfo> all;
  if (net::GetAdaptersInfo(all) != 0) {
    LogPrint(LOG_ERR, "Call to GetAdaptersInfo failed.\n");
    return;
  }
  const net::AdapterInfo* info = nullptr;
  for (const net::AdapterInfo& a : all)
    if (a.name == adapter.name) info = &a;
  if (info == nullptr) return;

  UiHost& host = d.host();
  d.SetText(IDC_ADAPTER_NAME, AdapterNameText(adapter.description));
  d.SetText(IDC_ADDRESS_TYPE, host.LoadString(info->dhcpEnabled ? IDS_ASSIGNED_BY_DHCP : IDS_MANUALLY_CONFIGURED));
  const net::AdapterAddress first = info->addresses.empty() ? net::AdapterAddress{} : info->addresses.front();
  d.SetText(IDC_NETWORK_ADDRESS, DottedIPv4(first.addr));
  d.SetText(IDC_SUBNET_MASK, DottedIPv4(first.mask));
  d.SetText(IDC_DEFAULT_GATEWAY, info->gateway != 0 ? DottedIPv4(info->gateway) : "");
  d.SetText(IDC_ADAPTER_TYPE, host.LoadString(AdapterTypeText(info->type)));
  d.SetText(IDC_PHYSICAL_ADDRESS, PhysicalAddressText(info->hardwareAddress));

  // The primary and the secondary server.
  d.ClearItems(IDC_WINS_LIST);
  const std::vector<uint32_t> wins = net::WinsServers(adapter.name);
  for (size_t i = 0; i < wins.size() && i < 2; ++i)
    if (wins[i] != 0) d.AddItem(IDC_WINS_LIST, DottedIPv4(wins[i]));

  // No DHCP client runs for the tunnel.
  d.SetText(IDC_DHCP_SERVER_LABEL, "");
  d.SetText(IDC_DHCP_SERVER, "");

  d.ClearItems(IDC_DNS_LIST);
  std::vector<uint32_t> dns;
  if (net::OpenDnsResolver()->GetDnsServers(adapter.name, dns) == 0) {
    for (size_t i = 0; i < dns.size(); ++i)
      if (dns[i] != 0) d.AddItem(IDC_DNS_LIST, DottedIPv4(dns[i]), i);
  }

  const uint32_t status = AdapterStatusText(info->operStatus);
  d.SetText(IDC_ADAPTER_STATUS, status != 0 ? host.LoadString(status) : "");
}

}  // namespace client
