// WINS servers have no counterpart on Linux: the servers the gateway assigns
// are recorded per interface (to be shown and logged) and nothing fails.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform::net {

void RecordWinsServer(const std::string& ifname, uint32_t server);
void ClearWinsServers(const std::string& ifname);
// In the order they were recorded.
std::vector<uint32_t> WinsServers(const std::string& ifname);

}  // namespace platform::net
