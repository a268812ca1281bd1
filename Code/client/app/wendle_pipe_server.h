// WendlePipeServerThread: serves "\\.\pipe\VardenlowWendle", where the web
// control (in the user's browser) and a second copy of the client reach
// the running client. Both run as the client's own user, so the socket is
// the owner's only (0600) and a peer must be that user or root
// (SO_PEERCRED): the pipe folder is open to every local user, and the pipe
// hands over logins and disconnects.
//
// Each connection is served by its own ActivexHandleThread (requests until
// the peer closes); the server tracks them, and the stop event ends the
// accept and every read, after which all are joined.
#pragma once

#include "platform/pipe/pipe.h"
#include "platform/sync/event.h"

namespace client {

class ClientApp;

// The pause between tries to make the pipe, and after a failed accept.
inline constexpr int kWendleRetryMs = 50;

// Serves until stop is set.
void WendlePipeServerThread(ClientApp& app, const platform::Event& stop);

// One connection: read a message (at most 4096 bytes), ProcessActiveXCommand,
// write the reply; ends on a failed or empty read, a failed write or stop.
void ActivexHandleThread(ClientApp& app, platform::pipe::PipeConnection connection, const platform::Event& stop);

}  // namespace client
