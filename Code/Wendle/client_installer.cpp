#include "Wendle/client_installer.h"

// The portal download module is not part of this library yet: until it
// is, a machine without the client cannot be given one from here, and
// Init reports the failed download.
int DownloadClientInstaller(const std::string& /*url*/, const std::string& /*user*/,
                            const std::string& /*sessionId*/, const std::string& /*pin*/) {
  return -1;
}
