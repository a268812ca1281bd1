// ConnectToServerWithUsbKey: the connect of a connection record handed over
// whole (the -d command line, a web login): the login mode from its init
// flags, the pending profile made from it, then StartConnect.
#pragma once

namespace client {

class ClientApp;

// The login mode of init: 0 without a USB key, 1 with one, 2 with the key
// only.
int LoginModeOfInit(unsigned init);

// StartConnect's result: 0 started, -1 refused. From a worker it runs on
// the UI thread and waits for it (-1 when the host shuts down first).
int ConnectToServerWithUsbKey(ClientApp& app);

}  // namespace client
