#include "client/app/host_check_viewer.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <vector>

#include "client/app/connect_launcher.h"
#include "platform/shell/open_document.h"
#include "platform/unique_fd.h"

namespace svc = platform::service;

namespace client {
namespace {

bool IsReadableFile(const std::string& path) {
  const platform::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat st{};
  return fd.valid() && ::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

std::string TunnelServiceFolder(const CServiceControl::ManagerFactory& open) {
  uint32_t error = 0;
  std::unique_ptr<svc::ServiceManager> manager = open ? open(error) : svc::OpenServiceManager(error);
  if (!manager) return {};
  svc::ServiceConfig config;
  if (manager->QueryServiceConfig(kTunnelServiceName, config) != 0) return {};
  const std::vector<std::string> args = svc::SplitCommandLine(config.binaryPathName);
  if (args.empty()) return {};
  const std::string& program = args.front();
  const size_t slash = program.rfind('/');
  if (slash == std::string::npos || program.front() != '/') return {};
  return slash == 0 ? std::string("/") : program.substr(0, slash);
}

bool ShowHostCheckErrorInfo(const CServiceControl::ManagerFactory& open) {
  const std::string folder = TunnelServiceFolder(open);
  if (folder.empty()) return false;
  const std::string path = (folder == "/" ? "" : folder) + "/" + kHostCheckErrorFileName;
  if (!IsReadableFile(path)) return false;
  return platform::shell::OpenDocument(path) == 0;
}

}  // namespace client
