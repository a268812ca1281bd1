// The client installer from the gateway: downloaded as the user's portal
// session into the user's own temporary folder under its file name, then
// started with "/WebInstall" with root rights, not waited for.
#pragma once

#include <string>

#include "Wendle/web_download.h"
#include "platform/ui/ui_host.h"

// url: "https://<server>:<port>/qimbo.exe"; fileName: "qimbo.exe" (a bare
// file name); pin: UTF-8 or null. 0 once the installer is in place (whether
// or not it could be started); -1 after a message box through host saying
// why. No temporary file survives.
int GetWebFile(platform::ui::UiHost& host, const std::string& url, const std::string& user,
               const std::string& sessionId, const std::string& fileName, const char* pin,
               const WebDownloadOptions& options = {});
