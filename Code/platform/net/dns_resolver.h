// DNS servers of the tunnel interface. Where systemd-resolved runs they are
// the interface's own servers, asked for every name (resolvectl: the link's
// servers, routing domain "~." and default route); otherwise they go in front of
// the resolv.conf file, whose previous state is kept in a backup and comes
// back byte for byte when the servers are taken back.
//
// Results are 0 or a Win32 code. No call builds a command line from text:
// programs get argv vectors.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform::net {

class DnsResolver {
 public:
  virtual ~DnsResolver() = default;
  virtual const char* Name() const = 0;
  // Makes servers (IPv4, network order, in the order given) the first ones
  // asked; a second call replaces what the first one set.
  virtual uint32_t SetDnsServers(const std::string& ifname, const std::vector<uint32_t>& servers) = 0;
  // Takes back what SetDnsServers did; 0 when there is nothing to take back.
  virtual uint32_t RevertDnsServers(const std::string& ifname) = 0;
  virtual uint32_t FlushCache() = 0;
};

// Runs a program without a shell; its exit status, -1 when it could not run.
using ResolverCommandRunner = std::function<int(const std::vector<std::string>& argv)>;

// The backend for this machine.
std::unique_ptr<DnsResolver> OpenDnsResolver();

// systemd-resolved runs: its varlink socket is there (below VQ_ROOT when set).
bool ResolvedIsRunning();
std::unique_ptr<DnsResolver> MakeResolvectlResolver(ResolverCommandRunner runner);

// <root>/etc/resolv.conf and its backup in the system's run folder.
std::string ResolvConfPath();
std::string ResolvConfBackupPath();
std::unique_ptr<DnsResolver> MakeResolvConfResolver(std::string resolvConf, std::string backup);

}  // namespace platform::net
