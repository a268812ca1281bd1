// The client installer fetched from the gateway with the portal session
// and started, for a machine without the client.
#pragma once

#include <string>

#include "platform/ui/ui_host.h"

inline constexpr char CLIENT_INSTALLER_NAME[] = "qimbo.exe";
inline constexpr char CLIENT_INSTALLER_URL_FORMAT[] = "https://%s:%s/qimbo.exe";

// 0 when the installer was downloaded into the user's temporary folder
// (and started, when it could be), -1 otherwise (a failure has shown its
// own box on host). pin: empty when none was asked for.
int DownloadClientInstaller(platform::ui::UiHost* host, const std::string& url, const std::string& user,
                            const std::string& sessionId, const std::string& pin);
