// The session's routes applied to the system and taken back:
//   install: each record still to add, in list order; a default route
//            through the tunnel first demotes the system's own default
//            routes (once per session) and remembers them;
//   delete:  each record that went in is deleted, the list emptied, the
//            demoted default routes restored exactly, the kept best route
//            to the gateway written back.
// The demoted rows are also kept in a state file in the run folder, so a
// service that was killed while connected restores them at its next start.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "Brindleway/adapter/route_entry.h"
#include "Brindleway/adapter/session_lists.h"
#include "platform/net/ip_helper.h"

namespace brindleway {

// Marks of a saved default route.
inline constexpr uint32_t kDefaultRouteRaised = 0;
inline constexpr uint32_t kDefaultRouteDeleted = 1;

struct SavedDefaultRoute {
  platform::net::IpForwardRow row;  // as it was
  uint32_t mark = kDefaultRouteRaised;
};

class SessionRoutes {
 public:
  // lock: the session's critical section (re-entered by the close).
  SessionRoutes(std::recursive_mutex& lock, const RouteOps& ops = SystemRouteOps());

  // 0, or -1 at the first route that could not be added.
  int InstallRoutes(std::vector<RouteRecord>& routes, TunDevice* tun);
  // 0, -1 (no memory), -2 (table unreadable), -3.
  int DemoteDefaultRoutes(uint32_t metric);
  void RestoreDefaultRoutes();
  // The result of the last deletion (0 when none failed).
  int DeleteRoutes(std::vector<RouteRecord>& routes);

  // The best route to the gateway host, kept at the start of the data path
  // and written back when the routes are deleted.
  void KeepGatewayRoute(const platform::net::IpForwardRow& row);

  const std::vector<SavedDefaultRoute>& SavedDefaultRoutes() const { return saved_; }

 private:
  void WriteStateFile() const;

  std::recursive_mutex& lock_;
  const RouteOps& ops_;
  std::vector<SavedDefaultRoute> saved_;
  // The default routes were demoted for this session.
  bool demoted_ = false;
  std::optional<platform::net::IpForwardRow> gatewayRoute_;
};

// The state file of the demoted default routes.
std::string SavedDefaultRoutesPath();
// At start: restores what a killed service left demoted; the file is removed.
// The number of rows restored.
int RestoreSavedDefaultRoutes(const RouteOps& ops = SystemRouteOps());

}  // namespace brindleway
