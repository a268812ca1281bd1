#include "client/ui/route_page.h"

#include <cstdio>

#include "support/ipv4_text.h"
#include "support/log.h"
#include "support/net_adapter.h"

using namespace platform::ui;
namespace net = platform::net;

namespace client {

const DialogTemplate& RoutePageTemplate() {
  static const DialogTemplate templ(IDD_ROUTE_PAGE,
                                    {
                                        {.kind = ControlKind::GroupBox, .row = 0, .col = 0},  // Local LAN Routes
                                        {.id = IDC_ROUTE_LIST,
                                         .kind = ControlKind::ListView,
                                         .row = 0,
                                         .col = 0,
                                         .columns = {{1124, 100}, {1125, 100}, {1126, 100}, {1127, 100}, {1128, 50}}},
                                    },
                                    false, true);
  return templ;
}

std::vector<std::vector<std::string>> RouteRows(const std::vector<net::IpForwardRow>& routes,
                                               const std::vector<net::IpAddrRow>& addresses, uint32_t ifIndex) {
  std::string interfaceText;
  for (const net::IpAddrRow& a : addresses) {
    if (a.ifIndex == ifIndex) {
      interfaceText = DottedIPv4(a.addr);
      break;
    }
  }
  if (interfaceText.empty()) {
    char text[16];
    std::snprintf(text, sizeof text, "%x", ifIndex);
    interfaceText = text;
  }
  std::vector<std::vector<std::string>> rows;
  for (const net::IpForwardRow& r : routes) {
    if (r.ifIndex != ifIndex) continue;
    rows.push_back({DottedIPv4(r.dest), DottedIPv4(r.mask), DottedIPv4(r.nextHop), interfaceText,
                    std::to_string(static_cast<int32_t>(r.metric1))});
  }
  return rows;
}

void RoutePageLogic::OnShow(Dialog& d, bool shown) {
  if (shown)
    d.SetTimer(kRouteTimer, kRoutePeriodMs);
  else
    d.KillTimer(kRouteTimer);
}

void RoutePageLogic::OnTimer(Dialog& d, uint32_t id) {
  if (id == kRouteTimer) Fill(d);
}

void RoutePageLogic::Fill(Dialog& d) {
  d.ClearRows(IDC_ROUTE_LIST);
  std::vector<net::IpForwardRow> routes;
  if (net::GetIpForwardTable(routes, false) != 0) {
    LogPrint(LOG_ERR, "GetIpForwardTable failed.\n");
    return;
  }
  uint32_t index = 0;
  if (GetTunAdapterIndex(index) != 0) return;
  std::vector<net::IpAddrRow> addresses;
  if (net::GetIpAddrTable(addresses) != 0) {
    LogPrint(LOG_ERR, "Call to GetIpAddrTable failed.\n");
    addresses.clear();
  }
  for (auto& cells : RouteRows(routes, addresses, index)) d.AddRow(IDC_ROUTE_LIST, std::move(cells));
}

}  // namespace client
