// The tunnel interface's address, DNS servers, DNS binding priority and
// WINS servers, as the gateway assigns them. Every change goes through the
// net layer (rtnetlink, the resolver backend): no command line is built from
// a name.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "Brindleway/adapter/tun_device.h"
#include "platform/net/interface_address.h"

namespace brindleway {

// The adapter's TCP/IP settings key ("%s" = its GUID); NameServer is kept
// there as the record of the servers set.
inline constexpr char kTcpipInterfacesKeyFormat[] =
    "SYSTEM\\CurrentControlSet\\services\\Tcpip\\Parameters\\Interfaces\\%s";
// The work buffer of ReplaceAllText, in UTF-16 units.
inline constexpr size_t kReplaceTextUnits = 102400;

// The address as the interface gets it: with the far end of the link as
// its peer when that end lies outside the local subnet, so the gateway's
// address is reachable through the interface whatever the netmask.
platform::net::InterfaceAddress TunInterfaceAddress(const TunDevice& tun, uint32_t address, uint32_t netmask);

// Makes address/netmask the interface's address (nothing when it already
// is); 0 or -1.
int SetTunDeviceIpCommand2(TunDevice* tun, uint32_t address, uint32_t netmask);

// Records the servers as NameServer under the adapter's TCP/IP key and makes
// them the first ones asked. The registry result, else the resolver's; -1
// for a null record.
int SetDnsServersRegistry(TunDevice* tun, std::span<const uint32_t> servers);
// Takes back the servers SetDnsServersRegistry set (also done by the close);
// 0 when there is nothing to take back.
uint32_t RestoreDnsServers(TunDevice* tun);
// Flushes the resolver cache, then takes back the servers; -1 for null.
int DeleteDnsServers(TunDevice* tun);
// Flushes, then sets the servers one by one in order; the last result, -1
// for null.
int AddDnsServersNetsh(TunDevice* tun, std::span<const uint32_t> servers);

// The adapter's entry first in the binding order (remove 0) or out of it
// (remove 1). 0, or -1 (logged).
int ChangeChannelDNSPri(int remove);

// WINS has no counterpart here: a server is recorded and logged. 0 (also
// for server 0, which records nothing); -1 for a null record.
int AddWinsServer(TunDevice* tun, uint32_t server);
int DeleteWinsServers(TunDevice* tun);

// Replaces every occurrence of pattern, left to right, resuming after each
// replacement. 0; -1 when pattern does not occur (or is empty); -2 when the
// result would be longer than kReplaceTextUnits (text unchanged).
int ReplaceAllText(std::string& text, std::string_view pattern, std::string_view replacement);

}  // namespace brindleway
