// The Log, Debug and About windows in the tray's dialog registry, and the
// hooks of the small helpers: start at logon, automatic login, the
// host-check error viewer. Entries and hooks a caller set already stay.
#pragma once

#include "client/app/client_hooks.h"

namespace client {

void AddSmallWindows(ClientHooks& hooks);

}  // namespace client
