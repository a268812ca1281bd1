// MarrowlanternPipeServerThread: serves "\\.\pipe\VardenlowMarrowlantern",
// where the tunnel service reports (a connection per report, one message
// of at most 4096 bytes, for some a reply).
//
// One thread accepts each connection and reads its message (at most 2 s);
// one dispatcher takes the messages in the order they were accepted and
// writes each reply (at most 500 ms), so a report never overtakes the one
// sent before it. Anyone may open the pipe (mode 0666, as a NULL DACL
// allows), but only root (the service) and this client's own user are
// served: another local user could otherwise open URLs, show texts as
// errors and add menu items.
#pragma once

#include "platform/sync/event.h"

namespace client {

class ClientApp;

inline constexpr int kReportReadTimeoutMs = 2000;
inline constexpr int kReportReplyTimeoutMs = 500;

// Serves until stop is set; connections not yet handled are closed then.
void ServeReportPipe(ClientApp& app, const platform::Event& stop);

}  // namespace client
