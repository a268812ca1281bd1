// The client installer fetched from the gateway with the portal session
// and started, for a machine without the client.
#pragma once

#include <string>

inline constexpr char CLIENT_INSTALLER_NAME[] = "qimbo.exe";
inline constexpr char CLIENT_INSTALLER_URL_FORMAT[] = "https://%s:%s/qimbo.exe";

// 0 when the installer was downloaded and started, -1 otherwise (a
// failure has shown its own box).
int DownloadClientInstaller(const std::string& url, const std::string& user, const std::string& sessionId,
                            const std::string& pin);
