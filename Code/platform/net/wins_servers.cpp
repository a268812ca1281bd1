#include "platform/net/wins_servers.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <mutex>
#include <sstream>

#include "platform/fd_io.h"
#include "platform/net/ipv4_text.h"
#include "platform/net/link.h"
#include "platform/paths/paths.h"
#include "platform/replacement_file.h"

namespace platform::net {
namespace {

// Within the process, a record and the next one never interleave.
std::mutex g_lock;

std::vector<uint32_t> ReadRecord(const std::string& path) {
  std::vector<uint32_t> servers;
  std::string bytes;
  if (path.empty() || ReadFileBytes(path, bytes) != 0) return servers;
  std::istringstream lines(bytes);
  for (std::string line; std::getline(lines, line);) {
    in_addr a{};
    if (::inet_pton(AF_INET, line.c_str(), &a) == 1) servers.push_back(a.s_addr);
  }
  return servers;
}

}  // namespace

std::string WinsRecordPath(const std::string& ifname) {
  // The name becomes a file name.
  if (!IsInterfaceName(ifname)) return {};
  return paths::RunDir() + "/wins/" + ifname;
}

void RecordWinsServer(const std::string& ifname, uint32_t server) {
  std::lock_guard lock(g_lock);
  const std::string path = WinsRecordPath(ifname);
  if (path.empty() || !paths::CreateDirectories(path.substr(0, path.rfind('/')))) return;
  std::string text;
  for (uint32_t s : ReadRecord(path)) text += DottedIpv4(s) + "\n";
  text += DottedIpv4(server) + "\n";
  ReplacementFile file;
  if (file.Open(path) != 0 || file.SetMode(0644) != 0 || file.Write(text) != 0) return;
  file.Commit();
}

void ClearWinsServers(const std::string& ifname) {
  std::lock_guard lock(g_lock);
  if (const std::string path = WinsRecordPath(ifname); !path.empty()) ::unlink(path.c_str());
}

std::vector<uint32_t> WinsServers(const std::string& ifname) {
  std::lock_guard lock(g_lock);
  return ReadRecord(WinsRecordPath(ifname));
}

}  // namespace platform::net
