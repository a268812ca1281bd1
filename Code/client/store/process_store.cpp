#include "client/store/process_store.h"

#include <cerrno>
#include <cstring>

#include "platform/paths/paths.h"
#include "support/log.h"

namespace client {

CXmlConfig g_xmlConfig;

std::string XmlConfigFolder() {
  return platform::paths::UserAppData() + "/" + kStoreVendorFolder + "/" + kStoreProductFolder;
}

std::string XmlConfigPath() { return XmlConfigFolder() + "/" + kXmlConfigFileName; }

int LoadXmlConfig(CXmlConfig& config) {
  const std::string folder = XmlConfigFolder();
  if (!platform::paths::CreateDirectories(folder, 0700)) {
    LogPrint(LOG_ERR, "LoadXmlConfig cannot make the folder (%s): %s\n", std::strerror(errno), folder);
    return -1;
  }
  return config.Load(XmlConfigPath()) ? 0 : -1;
}

int LoadXmlConfig() { return LoadXmlConfig(g_xmlConfig); }

}  // namespace client
