// WINS servers have no counterpart on Linux: the servers the gateway assigns
// are recorded per interface (to be shown and logged) and nothing fails.
// The record is a file per interface in the system's run folder, one
// dotted address a line, so that the client application reads what the
// tunnel service recorded.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform::net {

void RecordWinsServer(const std::string& ifname, uint32_t server);
void ClearWinsServers(const std::string& ifname);
// In the order they were recorded; empty for a name that is no interface name.
std::vector<uint32_t> WinsServers(const std::string& ifname);

// <run folder>/wins/<ifname>; empty for a name that is no interface name.
std::string WinsRecordPath(const std::string& ifname);

}  // namespace platform::net
