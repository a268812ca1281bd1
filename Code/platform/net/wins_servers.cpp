#include "platform/net/wins_servers.h"

#include <map>
#include <mutex>

namespace platform::net {
namespace {

std::mutex g_lock;

std::map<std::string, std::vector<uint32_t>>& Table() {
  static std::map<std::string, std::vector<uint32_t>> table;
  return table;
}

}  // namespace

void RecordWinsServer(const std::string& ifname, uint32_t server) {
  std::lock_guard lock(g_lock);
  Table()[ifname].push_back(server);
}

void ClearWinsServers(const std::string& ifname) {
  std::lock_guard lock(g_lock);
  Table().erase(ifname);
}

std::vector<uint32_t> WinsServers(const std::string& ifname) {
  std::lock_guard lock(g_lock);
  auto it = Table().find(ifname);
  return it == Table().end() ? std::vector<uint32_t>() : it->second;
}

}  // namespace platform::net
