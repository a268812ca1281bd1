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
  // The servers the interface has now (IPv4, network order, in order).
  virtual uint32_t GetDnsServers(const std::string& ifname, std::vector<uint32_t>& servers) = 0;
};

// Runs a program without a shell; its exit status, -1 when it could not run.
using ResolverCommandRunner = std::function<int(const std::vector<std::string>& argv)>;
// The same, with what the program printed in output.
using ResolverQueryRunner = std::function<int(const std::vector<std::string>& argv, std::string* output)>;

// The backend for this machine.
std::unique_ptr<DnsResolver> OpenDnsResolver();

// systemd-resolved runs: its varlink socket is there (below VQ_ROOT when set).
bool ResolvedIsRunning();
std::unique_ptr<DnsResolver> MakeResolvectlResolver(ResolverCommandRunner runner);
std::unique_ptr<DnsResolver> MakeResolvectlResolver(ResolverQueryRunner runner);
// The IPv4 servers of "resolvectl dns IFNAME" output ("Link 5 (tun0): 10.0.0.1
// 10.0.0.2:53 ..."); IPv6 servers and other words are left out.
std::vector<uint32_t> ParseResolvectlDns(const std::string& output);

// <root>/etc/resolv.conf and its backup in the system's run folder. The
// servers set for an interface are recorded beside the backup, in
// dns/<ifname> (one dotted address a line), until they are taken back.
std::string ResolvConfPath();
std::string ResolvConfBackupPath();
std::unique_ptr<DnsResolver> MakeResolvConfResolver(std::string resolvConf, std::string backup);

}  // namespace platform::net
