// The session's DNS and WINS servers applied to the tunnel interface and
// taken back, each step under the session's critical section.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "Brindleway/adapter/tun_device.h"

namespace brindleway {

// 0, or the DNS set-up's error.
int AddDnsServers(std::recursive_mutex& lock, const std::vector<uint32_t>& dns, TunDevice* tun);
// 0, the first failure, or -1 for an empty list.
int AddWinsServers(std::recursive_mutex& lock, const std::vector<uint32_t>& wins, TunDevice* tun);
// Empties the list and takes the adapter's WINS servers back; 0.
int ClearWinsServers(std::recursive_mutex& lock, std::vector<uint32_t>& wins, TunDevice* tun);

}  // namespace brindleway
