#include "Brindleway/adapter/session_name_servers.h"

#include "Brindleway/adapter/adapter_address.h"
#include "support/log.h"

namespace brindleway {

int AddDnsServers(std::recursive_mutex& lock, const std::vector<uint32_t>& dns, TunDevice* tun) {
  std::lock_guard<std::recursive_mutex> guard(lock);
  const int result = SetDnsServersRegistry(tun, dns);
  if (result == 0) LogPrint(LOG_INFO, "Add DNS servers OK\n");
  return result;
}

int AddWinsServers(std::recursive_mutex& lock, const std::vector<uint32_t>& wins, TunDevice* tun) {
  if (wins.empty()) return -1;
  for (uint32_t server : wins) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    if (const int result = AddWinsServer(tun, server); result != 0) return result;
  }
  LogPrint(LOG_INFO, "Add WINS addresses OK\n");
  return 0;
}

int ClearWinsServers(std::recursive_mutex& lock, std::vector<uint32_t>& wins, TunDevice* tun) {
  if (wins.empty()) return 0;
  std::lock_guard<std::recursive_mutex> guard(lock);
  wins.clear();
  DeleteWinsServers(tun);
  LogPrint(LOG_INFO, "Delete WINS addresses OK\n");
  return 0;
}

}  // namespace brindleway
