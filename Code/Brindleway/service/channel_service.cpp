// Run body of the tunnel service:
//   1. the run folders; take the instance mutex (a second console run ends
//      with -2, a run beside the service with -3); make sure the command
//      pipe's name is ours to serve (-7 when another user serves it)
//   2. init the channel machinery: TLS library, channel semaphore, session
//   3. start the channel thread
//   4. serve the command pipe, one GuiCommandThread per client, until the
//      stop event is set
//   5. stop and join the client threads, post the exit message and join the
//      channel thread (on every way out of the loop)
//   6. clean up in reverse order
#include "Brindleway/service/channel_service.h"

#include <openssl/ssl.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <system_error>

#include "Brindleway/adapter/leftovers.h"
#include "Brindleway/channel/channel_session.h"
#include "Brindleway/channel/data_path.h"
#include "Brindleway/channel/sms_auth.h"
#include "Brindleway/channel/usb_key_pin.h"
#include "Brindleway/common/channel_context.h"
#include "Brindleway/common/constants.h"
#include "Brindleway/common/gui_reports.h"
#include "Brindleway/control/host_texts.h"
#include "Brindleway/hostcheck/host_check_setup.h"
#include "Brindleway/hostcheck/proximity.h"
#include "Brindleway/hostcheck/security_check.h"
#include "Brindleway/service/channel_thread.h"
#include "Brindleway/service/gui_command.h"
#include "platform/paths/paths.h"
#include "platform/pipe/pipe.h"
#include "platform/process/desktop_user.h"
#include "platform/sync/owned_threads.h"
#include "platform/win32/win32_error.h"
#include "support/log.h"

namespace brindleway {
namespace {

// Pause after a failed pipe creation, and after a failed accept.
constexpr int kPipeRetryMs = 50;
constexpr int kAcceptRetryMs = 10;
// The command pipe is open to every local user.
constexpr mode_t kCommandPipeMode = 0666;

// The channel machinery that InitChannelService builds and
// CleanChannelService takes down.
struct ChannelService {
  ChannelContext context;
  PipeGuiReports gui;
  CSmsAuthData sms;
  CProximityList proximity;
  std::unique_ptr<DataPath> dataPath;
  std::unique_ptr<CSecurityCheck> securityCheck;
  std::unique_ptr<ChannelSession> session;
  std::unique_ptr<ChannelThread> thread;
};

int InitChannelService(ChannelService& service, ChannelServiceSetup setup) {
  LogPrint(LOG_INFO, "Init SSL channel\n");
  OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
  if (uint32_t error = service.context.semaphore.Create(kChannelSemaphoreName); error != 0) {
    LogPrint(LOG_ERR, "CreateSemaphore error: %d\n", error);
    return -1;
  }
  auto post = [&service](uint32_t message, uint32_t code) {
    if (service.thread) service.thread->Post(message, code);
  };
  // What a killed run left on the system comes back first.
  TakeBackLeftovers();
  if (!setup.parts.startTunnel) {
    service.dataPath = std::make_unique<DataPath>(service.context, post);
    setup.parts.startTunnel = [&service](CChannelSession& s) { return service.dataPath->StartTunnel(s); };
    setup.parts.stopTunnel = [&service](CChannelSession& s) { service.dataPath->StopTunnel(s); };
  }
  if (!setup.parts.smsExchange) {
    setup.parts.smsExchange = [&service](CChannelSession& s) { return service.sms.Exchange(s); };
    setup.parts.smsCode = [&service](const std::string& code) { service.sms.SendSmsAuthCodeToServer(code); };
    setup.parts.smsResend = [&service] { service.sms.ReqSmsAuthCode(0); };
  }
  if (!setup.parts.proximityList) {
    setup.parts.proximityFinished = [&service] { return service.proximity.IsIdle(); };
    setup.parts.proximityList = [&service] {
      return service.proximity.HandOver(service.session->Session().m_preferredGateways);
    };
    setup.parts.startProximity = [&service] {
      CProximityList& p = service.proximity;
      if (p.SetList(service.session->Session().m_preferredGateways)) p.StartDetection();
    };
    setup.parts.stopProximity = [&service] { service.proximity.Stop(); };
  }
  if (!setup.parts.setUsbKeyPin) setup.parts.setUsbKeyPin = UsbKeyPinStep;
  if (!setup.parts.hostCheck) {
    SecurityCheckEnv check;
    check.reports = &service.gui;
    check.connectEnv = [&service, pin = setup.parts.setUsbKeyPin] {
      return ChannelConnectEnv(service.context.connInfo.Get(), service.gui, pin);
    };
    check.dispatchEnv = [&service, network = setup.network] {
      return ChannelDispatchEnv(service.gui, service.context, network);
    };
    service.securityCheck = std::make_unique<CSecurityCheck>(std::move(check));
    // The digest a gateway keep-alive carried asks for a fresh check.
    AttachHostCheck(setup.parts, *service.securityCheck, [&service]() -> std::optional<Md5Digest> {
      const DataPathContext* data = service.dataPath ? service.dataPath->Context() : nullptr;
      if (data == nullptr) return std::nullopt;
      return data->hostCheckDigest.Get();
    });
  }
  service.session = std::make_unique<ChannelSession>(ChannelSessionEnv{
      service.context,
      service.gui,
      [&service] { return service.thread ? service.thread->CloseTunnelChannel() : 0; },
      post,
      std::move(setup.parts),
      std::move(setup.network),
  });
  // What the login tells the gateway about this machine, found once.
  CChannelSession& control = service.session->Session();
  if (service.securityCheck) service.securityCheck->SetCheckLink(&control);
  if (!GetHostIdText(control.m_strHostId)) control.m_strHostId.clear();
  GetHostNameText(control.m_strHostName);
  return 0;
}

void CleanChannelService(ChannelService& service) {
  service.thread.reset();
  if (service.securityCheck) service.securityCheck->StopHostCheckCycle();
  service.session.reset();
  service.securityCheck.reset();
  service.dataPath.reset();
  LogPrint(LOG_INFO, "Clean SSL channel\n");
}

// The accept loop of the command pipe; returns when serviceStop is set (0)
// or no client thread could be started (RUN_NO_COMMAND_THREAD).
int ServeCommandPipe(platform::Event& serviceStop, platform::OwnedThreads& clients, GuiCommandTarget& target) {
  platform::pipe::PipeServer server;
  for (;;) {
    if (server.Path().empty()) {
      if (uint32_t error = server.Create(kCommandPipeName, kCommandPipeMode); error != 0) {
        LogPrint(LOG_ERR, "CreateNamedPipe failed [%d]\n", error);
        if (serviceStop.Wait(kPipeRetryMs)) return RUN_OK;
        continue;
      }
    }
    platform::pipe::PipeConnection connection;
    const uint32_t error = server.Accept(connection, serviceStop);
    if (error == platform::ERROR_OPERATION_ABORTED) return RUN_OK;
    if (error != 0) {
      LogPrint(LOG_ERR, "ConnectNamedPipe failed [%d]\n", error);
      if (serviceStop.Wait(kAcceptRetryMs)) return RUN_OK;
      continue;
    }
    const platform::pipe::PeerCredentials peer = connection.Peer();
    LogPrint(LOG_DEBUG, "Command pipe client connected (uid %u, pid %d)\n", static_cast<unsigned>(peer.uid),
             static_cast<int>(peer.pid));
    // The client application runs as the desktop user: its uid is the best
    // answer to "whose settings" for what this service does on its behalf.
    platform::process::SetCommandPipePeerUid(peer.uid);
    try {
      clients.Start([&target, connection = std::make_shared<platform::pipe::PipeConnection>(std::move(connection))](
                        const platform::Event& stop) { GuiCommandThread(std::move(*connection), stop, target); });
    } catch (const std::system_error&) {
      LogPrint(LOG_ERR, "Create GuiCommandThread failed\n");
      return RUN_NO_COMMAND_THREAD;
    }
  }
}

// Anyone may make names in the pipe folder: a command pipe served by
// another user would receive the clients' passwords. One nobody serves is
// removed. True when the name is free for us.
bool ClaimCommandPipe() {
  platform::pipe::PipeConnection probe;
  if (platform::pipe::Connect(kCommandPipeName, probe, 0) == 0) {
    const uid_t owner = probe.Peer().uid;
    if (owner != 0 && owner != ::geteuid()) {
      LogPrint(LOG_ERR, "The command pipe is served by a process of uid %u, not starting\n",
               static_cast<unsigned>(owner));
      return false;
    }
    return true;  // ours: the server's Create tells a live one apart
  }
  platform::pipe::RemoveStale(kCommandPipeName);
  return true;
}

}  // namespace

int RunChannelService(platform::Event& serviceStop, platform::InstanceLock::Role role, ChannelServiceSetup setup) {
  if (!platform::paths::PrepareRunFolders())
    LogPrint(LOG_ERR, "Cannot prepare the run folders (errno %d)\n", errno);
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

  if (!ClaimCommandPipe()) return RUN_PIPE_TAKEN;

  ChannelService service;
  if (InitChannelService(service, std::move(setup)) != 0) {
    CleanChannelService(service);
    return RUN_INIT_FAILED;
  }

  service.thread = std::make_unique<ChannelThread>(service.context, *service.session, service.gui);
  service.thread->Start();

  int result;
  {
    ChannelThread& channel = *service.thread;
    GuiCommandTarget target{service.context, *service.session,
                            [&channel](uint32_t message, uintptr_t wParam, std::any data) {
                              return channel.Post(message, wParam, std::move(data));
                            }};
    platform::OwnedThreads clients;
    result = ServeCommandPipe(serviceStop, clients, target);
    serviceStop.Reset();
    clients.StopAll();
  }
  service.thread->RequestExit();
  service.thread->Join();

  CleanChannelService(service);
  mutex.Release();
  return result;
}

}  // namespace brindleway
