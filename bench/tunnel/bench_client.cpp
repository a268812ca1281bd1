// vqbench_client: the tunnel service's run body in the console, as
// Brindleway runs it, for the tunnel benchmark. The benchmark's gateway
// shows a throw-away certificate, so every gateway certificate is taken
// (the certificate check is not what is measured). Opened and closed with
// vqpipe; runs until SIGINT or SIGTERM.
#include <openssl/x509.h>

#include "Brindleway/control/tls_context.h"
#include "Brindleway/service/channel_service.h"
#include "platform/service/stop_signals.h"
#include "platform/sync/event.h"
#include "support/log.h"

int main() {
  platform::service::BlockStopSignals();
  LogInit(nullptr);
  brindleway::SetStoredServerCertCheck([](X509*) { return 1; });
  platform::Event stop(platform::Event::Reset::Manual);
  int result = 0;
  {
    platform::service::StopSignalWatcher signals([&stop](int) { stop.Set(); });
    result = brindleway::RunChannelService(stop, platform::InstanceLock::Role::Console);
  }
  LogCleanup();
  return result == 0 ? 0 : 1;
}
