// What a run of the service that ended without its close (killed, crashed)
// left on the system, taken back at start-up before the command pipe is
// served:
//   1. routes of the service's own route protocol, on any interface;
//   2. the default routes it demoted, from their state file;
//   3. the tunnel interface's DNS servers (resolver backup or link settings);
//   4. the tunnel interface's IPv4 addresses;
//   5. the adapter's entry at the head of the binding order.
// Each item taken back is logged; a system with nothing left is untouched.
#pragma once

#include "Brindleway/adapter/route_entry.h"

namespace brindleway {

// The number of items taken back.
int TakeBackLeftovers(const RouteOps& ops = SystemRouteOps());

}  // namespace brindleway
