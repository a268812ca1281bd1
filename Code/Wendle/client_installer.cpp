#include "Wendle/client_installer.h"

#include "Wendle/web_file.h"

int DownloadClientInstaller(platform::ui::UiHost* host, const std::string& url, const std::string& user,
                            const std::string& sessionId, const std::string& pin) {
  // Without the container's host no box could say why a download failed.
  if (host == nullptr) return -1;
  return GetWebFile(*host, url, user, sessionId, CLIENT_INSTALLER_NAME, pin.empty() ? nullptr : pin.c_str()) == 0
             ? 0
             : -1;
}
