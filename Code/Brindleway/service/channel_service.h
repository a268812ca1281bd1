// The run body of the tunnel service, in the console or as the service.
#pragma once

#include "Brindleway/channel/channel_session.h"
#include "platform/sync/event.h"
#include "platform/sync/instance_lock.h"

namespace brindleway {

// Results of RunChannelService.
inline constexpr int RUN_OK = 0;
inline constexpr int RUN_INIT_FAILED = -1;
inline constexpr int RUN_CONSOLE_RUNS = -2;
inline constexpr int RUN_SERVICE_RUNS = -3;
inline constexpr int RUN_MUTEX_ERROR = -4;
inline constexpr int RUN_SECURITY_FAILED = -5;
inline constexpr int RUN_NO_COMMAND_THREAD = -6;
inline constexpr int RUN_PIPE_TAKEN = -7;

// What the channel session is built with: the parts of the service that
// the set-up calls, and the view of the system's network.
struct ChannelServiceSetup {
  SessionParts parts;
  NetworkView network = SystemNetworkView();
};

// Runs until serviceStop is set. role tells a second start whether this
// instance is the service or a console run.
int RunChannelService(platform::Event& serviceStop, platform::InstanceLock::Role role,
                      ChannelServiceSetup setup = {});

}  // namespace brindleway
