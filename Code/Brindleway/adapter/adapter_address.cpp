#include "Brindleway/adapter/adapter_address.h"

#include <arpa/inet.h>

#include <vector>

#include "Brindleway/common/constants.h"
#include "Brindleway/common/debug_trace.h"
#include "platform/net/dns_resolver.h"
#include "platform/net/wins_servers.h"
#include "platform/registry/registry.h"
#include "support/ipv4_text.h"
#include "support/log.h"
#include "support/net_adapter.h"
#include "support/registry_helpers.h"
#include "support/utf16.h"

namespace brindleway {
namespace {

}  // namespace

platform::net::InterfaceAddress TunInterfaceAddress(const TunDevice& tun, uint32_t address, uint32_t netmask) {
  platform::net::InterfaceAddress a;
  a.local = address;
  a.mask = netmask;
  if (tun.remoteAddress != 0 && tun.remoteAddress != address &&
      (tun.remoteAddress & netmask) != (address & netmask)) {
    a.peer = tun.remoteAddress;
  }
  return a;
}

int SetTunDeviceIpCommand2(TunDevice* tun, uint32_t address, uint32_t netmask) {
  if (tun == nullptr) return -1;
  // Only the very address wanted, its far end included, is left as it is:
  // a stale far end would route the gateway's address elsewhere.
  const platform::net::InterfaceAddress wanted = TunInterfaceAddress(*tun, address, netmask);
  std::vector<platform::net::InterfaceAddress> current;
  if (platform::net::GetInterfaceAddresses(tun->ifIndex, current) == 0 && current.size() == 1 &&
      current[0].local == wanted.local && current[0].mask == wanted.mask && current[0].peer == wanted.peer) {
    LogPrint(LOG_INFO, "Do not need change TunDevice ip\n");
    return 0;
  }
  LogPrint(LOG_INFO, "Command %s \n",
           FormatText("interface ip set address name=\"%s\" static %s %s", tun->connectionName, DottedIPv4(address),
                      DottedIPv4(netmask)));
  return platform::net::SetInterfaceAddress(tun->ifIndex, wanted) == 0 ? 0 : -1;
}

int SetDnsServersRegistry(TunDevice* tun, std::span<const uint32_t> servers) {
  if (tun == nullptr) return -1;
  // The list in a zero-filled text of 16 units a server and 2 more.
  std::string list;
  for (size_t i = 0; i < servers.size(); ++i) {
    list += DottedIPv4(servers[i]);
    if (i + 1 < servers.size()) list += ',';
  }
  LogPrint(LOG_DEBUG, "DNS List %s \n", list);
  std::u16string units = Utf8ToUtf16(list);
  units.resize(16 * servers.size() + 2, u'\0');
  const std::string bytes = Utf16LeBytes(units);
  const int regResult = static_cast<int>(
      RegWriteValue(platform::registry::HKEY_LOCAL_MACHINE, FormatText(kTcpipInterfacesKeyFormat, tun->adapterGuid),
                    "NameServer", platform::registry::REG_SZ,
                    std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size())));

  uint32_t dnsResult = 0;
  if (!servers.empty()) {
    std::unique_ptr<platform::net::DnsResolver> resolver = platform::net::OpenDnsResolver();
    dnsResult = resolver->SetDnsServers(tun->connectionName, std::vector<uint32_t>(servers.begin(), servers.end()));
    if (dnsResult == 0) {
      tun->dnsServersSet = true;
    } else {
      LogPrint(LOG_ERR, "Set DNS servers through %s failed (%d)\n", resolver->Name(), dnsResult);
    }
    resolver->FlushCache();
  }
  return regResult != 0 ? regResult : static_cast<int>(dnsResult);
}

uint32_t RestoreDnsServers(TunDevice* tun) {
  if (tun == nullptr || !tun->dnsServersSet) return 0;
  std::unique_ptr<platform::net::DnsResolver> resolver = platform::net::OpenDnsResolver();
  const uint32_t err = resolver->RevertDnsServers(tun->connectionName);
  if (err == 0) {
    tun->dnsServersSet = false;
  } else {
    LogPrint(LOG_ERR, "Restore DNS servers through %s failed (%d)\n", resolver->Name(), err);
  }
  resolver->FlushCache();
  return err;
}

int DeleteDnsServers(TunDevice* tun) {
  if (tun == nullptr) return -1;
  std::unique_ptr<platform::net::DnsResolver> resolver = platform::net::OpenDnsResolver();
  resolver->FlushCache();
  DebugTrace(TRACE_SETUP, "%s\n", FormatText("interface ip delete dns \"%s\" all", tun->connectionName));
  const uint32_t err = resolver->RevertDnsServers(tun->connectionName);
  if (err == 0) tun->dnsServersSet = false;
  return static_cast<int>(err);
}

int AddDnsServersNetsh(TunDevice* tun, std::span<const uint32_t> servers) {
  if (tun == nullptr) return -1;
  std::unique_ptr<platform::net::DnsResolver> resolver = platform::net::OpenDnsResolver();
  resolver->FlushCache();
  // One server more each time, as adding them one by one leaves them.
  uint32_t err = 0;
  std::vector<uint32_t> added;
  for (uint32_t server : servers) {
    DebugTrace(TRACE_SETUP, "%s\n", FormatText("interface ip add dns \"%s\" %s", tun->connectionName, DottedIPv4(server)));
    added.push_back(server);
    err = resolver->SetDnsServers(tun->connectionName, added);
    if (err == 0) tun->dnsServersSet = true;
  }
  return static_cast<int>(err);
}

int ReplaceAllText(std::string& text, std::string_view pattern, std::string_view replacement) {
  // An empty pattern occurs everywhere and would never end.
  if (pattern.empty()) return -1;
  size_t at = text.find(pattern);
  if (at == std::string::npos) return -1;
  std::string result;
  size_t from = 0;
  while (at != std::string::npos) {
    result.append(text, from, at - from);
    result.append(replacement);
    from = at + pattern.size();
    at = text.find(pattern, from);
  }
  result.append(text, from, std::string::npos);
  if (Utf16Length(result) > kReplaceTextUnits) return -2;
  text = std::move(result);
  return 0;
}

int ChangeChannelDNSPri(int remove) {
  std::string guid;
  std::string bind;
  if (GetTunAdapterGuid(guid) != 0 || ReadTcpipBind(bind) != 0) {
    LogPrint(LOG_ERR, "Change ChannelDNSPri Error: ChgRegDNSPri()\n");
    return -1;
  }
  const std::string entry = FormatText("\\Device\\%s", guid);
  ReplaceAllText(bind, entry + "\n", "");
  ReplaceAllText(bind, entry, "");
  const std::string lines = remove == 0 ? FormatText("%s\n%s", entry, bind) : bind;
  if (SetTcpipLinkageBind(lines) != 0) {
    LogPrint(LOG_ERR, "Change ChannelDNSPri Error: SetTcpipLinkageBind()\n");
    return -1;
  }
  LogPrint(LOG_DEBUG, "Change ChannelDNSPri Success\n");
  return 0;
}

int AddWinsServer(TunDevice* tun, uint32_t server) {
  if (tun == nullptr) return -1;
  if (server == 0) return 0;
  DebugTrace(TRACE_SETUP, "%s\n", FormatText("interface ip add wins \"%s\" %s", tun->connectionName, DottedIPv4(server)));
  platform::net::RecordWinsServer(tun->connectionName, server);
  LogPrint(LOG_INFO, "WINS server %s recorded for %s (no WINS on this system)\n", DottedIPv4(server),
           tun->connectionName);
  return 0;
}

int DeleteWinsServers(TunDevice* tun) {
  if (tun == nullptr) return -1;
  DebugTrace(TRACE_SETUP, "%s\n", FormatText("interface ip delete wins \"%s\" all", tun->connectionName));
  platform::net::ClearWinsServers(tun->connectionName);
  return 0;
}

}  // namespace brindleway
