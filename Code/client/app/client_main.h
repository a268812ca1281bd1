// The program around ClientApp, shared by both hosts: start, the host's loop
// while the window runs (SIGTERM and SIGINT ask for Exit), shutdown. The
// caller has blocked the stop signals before any thread started.
#pragma once

#include <functional>

#include "client/app/client_hooks.h"
#include "platform/ui/ui_host.h"

namespace client {

// 0 (the program's exit code).
int RunMarrowlantern(platform::ui::UiHost& host, const std::function<int()>& runLoop, int argc, char* argv[],
                     ClientHooks hooks = {});

}  // namespace client
