// The viewer of the host check's error text: a click on the balloon of a
// failed host check opens "HostCheckErrorInfo.txt", which the check writes
// in the tunnel service's program folder, in the desktop's viewer.
#pragma once

#include <string>

#include "support/service_control.h"

namespace client {

inline constexpr char kHostCheckErrorFileName[] = "HostCheckErrorInfo.txt";

// The folder of the tunnel service's program (its service entry's
// ImagePath); "" when there is no entry or no path in it. open: the
// service manager (empty: the system's).
std::string TunnelServiceFolder(const CServiceControl::ManagerFactory& open = {});

// Opens the error file of the service's folder when it is a file that can
// be read; otherwise nothing happens. True when the viewer was started.
bool ShowHostCheckErrorInfo(const CServiceControl::ManagerFactory& open = {});

}  // namespace client
