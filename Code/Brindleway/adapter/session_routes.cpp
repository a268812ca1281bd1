#include "Brindleway/adapter/session_routes.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/net/net_error.h"
#include "platform/paths/paths.h"
#include "support/log.h"

namespace brindleway {
namespace {

namespace net = platform::net;

bool IsDefaultRoute(const net::IpForwardRow& row) { return row.dest == 0 && row.mask == 0; }

}  // namespace

std::string SavedDefaultRoutesPath() { return platform::paths::RunDir() + "/saved-default-routes"; }

SessionRoutes::SessionRoutes(std::recursive_mutex& lock, const RouteOps& ops) : lock_(lock), ops_(ops) {}

int SessionRoutes::InstallRoutes(std::vector<RouteRecord>& routes, TunDevice* tun) {
  for (RouteRecord& route : routes) {
    std::lock_guard<std::recursive_mutex> lock(lock_);
    if (route.flag != kRouteToAdd || tun == nullptr) continue;
    if (route.destination == 0 && route.mask == 0) DemoteDefaultRoutes(route.metric);
    if (AddRouteEntry(route, tun, ops_) != 0) return -1;
  }
  return 0;
}

int SessionRoutes::DemoteDefaultRoutes(uint32_t metric) {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  // Once per session: a second default route from the gateway must not
  // drop what the first one saved, or those rows could never be restored.
  if (demoted_) return 0;
  std::vector<net::IpForwardRow> table;
  if (ops_.getForwardTable(table, true) != 0) {
    LogPrint(LOG_ERR, "getIpForwardTable failed.\n");
    return -2;
  }
  saved_.clear();
  for (const net::IpForwardRow& row : table) {
    if (!IsDefaultRoute(row)) continue;
    if (row.metric1 > metric && row.type != net::kRouteTypeDirect) continue;
    if (row.type == net::kRouteTypeDirect) {
      if (ops_.deleteRoute(row) != 0) {
        LogPrint(LOG_ERR, "Delete direct default route failed.\n");
        continue;
      }
      saved_.push_back({row, kDefaultRouteDeleted});
    } else {
      net::IpForwardRow raised = row;
      raised.metric1 = metric + 1;
      if (!ops_.setRoute || ops_.setRoute(raised) != 0) {
        LogPrint(LOG_ERR, "Set default route failed.\n");
        continue;
      }
      saved_.push_back({row, kDefaultRouteRaised});
    }
  }
  demoted_ = true;
  WriteStateFile();
  return 0;
}

void SessionRoutes::RestoreDefaultRoutes() {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  for (const SavedDefaultRoute& saved : saved_) {
    if (saved.mark == kDefaultRouteDeleted) {
      ops_.createRoute(saved.row);
    } else if (ops_.setRoute) {
      ops_.setRoute(saved.row);
    }
  }
  saved_.clear();
  demoted_ = false;
  std::remove(SavedDefaultRoutesPath().c_str());
}

int SessionRoutes::DeleteRoutes(std::vector<RouteRecord>& routes) {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  int result = 0;
  for (const RouteRecord& route : routes) {
    if (route.flag == 0) result = DeleteRouteEntry(route, ops_);
  }
  routes.clear();
  RestoreDefaultRoutes();
  if (gatewayRoute_ && gatewayRoute_->proto == net::kRouteProtoNetMgmt) {
    // Back as it was, unless it never left.
    const uint32_t error = ops_.createRoute(*gatewayRoute_);
    if (error != 0 && error != net::ERROR_OBJECT_ALREADY_EXISTS) {
      LogPrint(LOG_ERR, "Restore route to the gateway failed [%d]\n", error);
    }
  }
  gatewayRoute_.reset();
  LogPrint(LOG_INFO, "Delete routes OK\n");
  return result;
}

void SessionRoutes::KeepGatewayRoute(const net::IpForwardRow& row) {
  std::lock_guard<std::recursive_mutex> lock(lock_);
  gatewayRoute_ = row;
  gatewayRoute_->proto = net::kRouteProtoNetMgmt;
}

void SessionRoutes::WriteStateFile() const {
  const std::string path = SavedDefaultRoutesPath();
  if (saved_.empty()) {
    std::remove(path.c_str());
    return;
  }
  platform::paths::CreateDirectories(platform::paths::RunDir());
  const std::string temp = path + ".new";
  {
    std::ofstream out(temp, std::ios::trunc);
    for (const SavedDefaultRoute& s : saved_) {
      out << s.row.dest << ' ' << s.row.mask << ' ' << s.row.nextHop << ' ' << s.row.ifIndex << ' ' << s.row.type
          << ' ' << s.row.proto << ' ' << s.row.metric1 << ' ' << s.mark << '\n';
    }
    out.flush();
    if (!out) {
      LogPrint(LOG_ERR, "Save default routes to %s failed\n", temp);
      std::remove(temp.c_str());
      return;
    }
  }
  if (std::rename(temp.c_str(), path.c_str()) != 0) {
    LogPrint(LOG_ERR, "Save default routes to %s failed\n", path);
    std::remove(temp.c_str());
  }
}

int RestoreSavedDefaultRoutes(const RouteOps& ops) {
  const std::string path = SavedDefaultRoutesPath();
  std::ifstream in(path);
  if (!in) return 0;
  int restored = 0;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    net::IpForwardRow row;
    uint32_t mark = 0;
    if (!(fields >> row.dest >> row.mask >> row.nextHop >> row.ifIndex >> row.type >> row.proto >> row.metric1 >>
          mark)) {
      continue;
    }
    const uint32_t error = mark == kDefaultRouteDeleted ? ops.createRoute(row) : (ops.setRoute ? ops.setRoute(row) : 0);
    if (error == 0 || error == net::ERROR_OBJECT_ALREADY_EXISTS) {
      ++restored;
    } else {
      LogPrint(LOG_ERR, "Restore default route failed [%d]\n", error);
    }
  }
  in.close();
  std::remove(path.c_str());
  if (restored > 0) LogPrint(LOG_INFO, "Restored %d default routes left by the last run\n", restored);
  return restored;
}

}  // namespace brindleway
