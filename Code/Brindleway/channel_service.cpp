// Run body of the tunnel service:
//   1. take the instance mutex (a second console run ends with -2, a run
//      beside the service with -3)
//   2. init the channel machinery: TLS library, channel semaphore, session
//   3. start the channel thread
//   4. serve the command pipe until the stop event is set
//   5. post the exit message and join the channel thread
//   6. clean up in reverse order (every path after 1)
#include "Brindleway/channel_service.h"

#include <openssl/ssl.h>

#include <memory>

#include "Brindleway/channel_context.h"
#include "Brindleway/channel_session.h"
#include "Brindleway/channel_thread.h"
#include "Brindleway/constants.h"
#include "Brindleway/gui_reports.h"
#include "platform/win32/win32_error.h"
#include "support/log.h"

namespace brindleway {
namespace {

// The channel machinery that InitChannelService builds and
// CleanChannelService takes down.
struct ChannelService {
  ChannelContext context;
  LoggedGuiReports gui;
  std::unique_ptr<ChannelSession> session;
  std::unique_ptr<ChannelThread> thread;
};

int InitChannelService(ChannelService& service) {
  LogPrint(LOG_INFO, "Init SSL channel\n");
  OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
  if (uint32_t error = service.context.semaphore.Create(kChannelSemaphoreName); error != 0) {
    LogPrint(LOG_ERR, "CreateSemaphore error: %d\n", error);
    return -1;
  }
  service.session = std::make_unique<ChannelSession>([&service] {
    return service.thread ? service.thread->CloseTunnelChannel() : 0;
  });
  return 0;
}

void CleanChannelService(ChannelService& service) {
  service.thread.reset();
  service.session.reset();
  LogPrint(LOG_INFO, "Clean SSL channel\n");
}

}  // namespace

int RunChannelService(platform::Event& serviceStop, platform::InstanceLock::Role role) {
  platform::InstanceLock mutex;
  switch (uint32_t error = mutex.Acquire(kServiceMutexName, role)) {
    case 0:
      break;
    case platform::ERROR_ACCESS_DENIED:
      LogPrint(LOG_ERR, "The application has already run as service\n");
      return RUN_SERVICE_RUNS;
    case platform::ERROR_ALREADY_EXISTS:
      LogPrint(LOG_ERR, "The application has already started\n");
      return RUN_CONSOLE_RUNS;
    default:
      LogPrint(LOG_ERR, "CreateMutex error [%d]\n", error);
      return RUN_MUTEX_ERROR;
  }

  ChannelService service;
  if (InitChannelService(service) != 0) {
    CleanChannelService(service);
    return RUN_INIT_FAILED;
  }

  service.thread = std::make_unique<ChannelThread>(service.context, *service.session, service.gui);
  service.thread->Start();

  // Command pipe loop: until the service is told to stop.
  serviceStop.Wait(platform::INFINITE_WAIT);
  serviceStop.Reset();
  service.thread->RequestExit();
  service.thread->Join();

  CleanChannelService(service);
  mutex.Release();
  return RUN_OK;
}

}  // namespace brindleway
