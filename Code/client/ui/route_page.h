// The Route page (template 113) of Network Information: the routes through
// the virtual adapter, filled again every 10000 ms (timer 4) while the page
// is shown.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/net/ip_helper.h"
#include "platform/ui/dialog.h"

namespace client {

inline constexpr int IDD_ROUTE_PAGE = 113;
inline constexpr int IDC_ROUTE_LIST = 1019;
inline constexpr uint32_t kRouteTimer = 4;
inline constexpr uint32_t kRoutePeriodMs = 10000;

const platform::ui::DialogTemplate& RoutePageTemplate();

// One row per route through interface ifIndex, in table order: destination,
// netmask, next hop, the interface's first address (its index in "%x" when
// it has none) and the first metric.
std::vector<std::vector<std::string>> RouteRows(const std::vector<platform::net::IpForwardRow>& routes,
                                               const std::vector<platform::net::IpAddrRow>& addresses,
                                               uint32_t ifIndex);

class RoutePageLogic : public platform::ui::DialogLogic {
 public:
  void OnInit(platform::ui::Dialog& d) override { Fill(d); }
  void OnShow(platform::ui::Dialog& d, bool shown) override;
  void OnTimer(platform::ui::Dialog& d, uint32_t id) override;

  void Fill(platform::ui::Dialog& d);
};

}  // namespace client
