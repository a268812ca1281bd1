// A connect request's road:
//   StartConnect (UI thread): the URL flag and the gateway credential of the
//   last connect cleared, a running connect cancelled, the snapshot of
//   g_conn checked (host, port 1..65535, user, secret), the connect thread
//   started with it, then the update thread (mode 2).
//   ConnectThread: readiness loop (301 tests, 1 s apart, cancellable), WMI
//   (a second look after 2 s), the gateway's name, a last look at the
//   cancel token, then the open (SendConnectCommand).
#include "client/app/connect_launcher.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <system_error>
#include <utility>

#include "client/app/client_app.h"
#include "client/app/client_constants.h"
#include "client/app/main_window.h"
#include "client/app/top_most_message.h"
#include "platform/net/host_address.h"
#include "platform/service/service.h"
#include "platform/ui/win32_ui.h"
#include "support/log.h"
#include "support/text_convert.h"

namespace client {
namespace {

namespace svc = platform::service;
namespace ui = platform::ui;

// A connect thread's result when it gave up before the open.
constexpr int kGaveUp = 1;

bool ValidForConnect(const conn_info& conn) {
  return !conn.host.empty() && conn.port >= 1 && conn.port <= 65535 && !conn.user.empty() &&
         !conn.secret1.empty();
}

}  // namespace

ConnectLauncher::ConnectLauncher(ClientApp& app, Env env) : app_(app), env_(std::move(env)) {}

ConnectLauncher::~ConnectLauncher() { CancelConnect(); }

int ConnectLauncher::StartConnect() {
  app_.Reports().ClearForConnect();
  // The newer request wins: the older one must not open its channel later.
  CancelConnect();
  conn_info conn = app_.Conn();
  if (!ValidForConnect(conn)) {
    ShowTopMostMessage(app_, app_.Host().String(IDS_INVALID_PARAMETERS), ui::MB_ICONERROR);
    app_.Hooks().connectEndedInClient(app_);
    return -1;
  }
  try {
    thread_.Start([this, conn = std::move(conn)](const platform::Event& cancel) {
      Finished(ConnectThread(conn, cancel));
    });
  } catch (const std::system_error&) {
    LogPrint(LOG_ERR, "Create thread for connecting failed\n");
    app_.Hooks().connectEndedInClient(app_);
    return -1;
  }
  app_.Hooks().startUpdateThread(app_, 2);
  return 0;
}

void ConnectLauncher::PostStartConnect() {
  app_.Host().Post([this] { StartConnect(); });
}

void ConnectLauncher::CancelConnect() { thread_.StopAll(); }

std::optional<int> ConnectLauncher::LastResult() const {
  std::lock_guard lock(resultMutex_);
  return lastResult_;
}

void ConnectLauncher::Finished(int result) {
  std::lock_guard lock(resultMutex_);
  lastResult_ = result;
}

int ConnectLauncher::ConnectThread(const conn_info& conn, const platform::Event& cancel) {
  platform::Clock& clock = app_.Host().clock();
  app_.Reports().hostCheckBalloon = false;

  bool ready = false;
  for (int waited = 0; waited <= kReadinessLimitMs; waited += kReadinessPauseMs) {
    if (CheckServicesReady(cancel)) {
      ready = true;
      break;
    }
    if (cancel.IsSet()) break;
    LogPrint(LOG_DEBUG, "Waiting ServiceDrive Ready...... ");
    if (!clock.SleepFor(kReadinessPauseMs, &cancel)) break;
  }
  if (cancel.IsSet()) {
    LogPrint(LOG_INFO, "Connect cancelled\n");
    return kGaveUp;
  }
  if (!ready) {
    app_.Host().Post([this] { app_.Hooks().setLoginDialogIdle(app_, true); });
    return EndFailed();
  }

  if (!IsWmiServiceRunning(cancel)) {
    if (cancel.IsSet() || !clock.SleepFor(kWmiRetryPauseMs, &cancel)) return kGaveUp;
    if (!IsWmiServiceRunning(cancel)) {
      if (cancel.IsSet()) return kGaveUp;
      app_.Host().Post([this] { app_.Hooks().setLoginDialogIdle(app_, true); });
      ShowTopMostMessage(app_, app_.Host().String(IDS_WMI_NOT_RUNNING), ui::MB_ICONERROR);
      return EndFailed();
    }
  }

  LogPrint(LOG_INFO, "Connecting to %s...\n", AnsiToUtf8(conn.host).c_str());
  if (!Resolves(conn.host)) {
    ShowTopMostMessage(app_, app_.Host().String(IDS_INVALID_SERVER_NAME), ui::MB_ICONERROR);
    return EndFailed();
  }

  // The last moment a cancel can keep the channel from opening.
  if (cancel.IsSet()) {
    LogPrint(LOG_INFO, "Connect cancelled\n");
    return kGaveUp;
  }
  const int result = app_.Link().SendConnectCommand(conn);
  // The service never got the open: nothing will report on this connect.
  if (result != 0) app_.Hooks().connectEndedInClient(app_);
  return result;
}

int ConnectLauncher::EndFailed() {
  app_.Host().Post([this] {
    if (MainWindow* window = app_.Window()) {
      window->Menu().SetGrayed(ID_DISCONNECT, true);
      window->Menu().SetGrayed(ID_CONNECT, false);
    }
  });
  app_.Hooks().connectEndedInClient(app_);
  return kGaveUp;
}

std::unique_ptr<CServiceControl> ConnectLauncher::Service(const char* name, const platform::Event& cancel) {
  platform::Clock& clock = app_.Host().clock();
  // A start's wait for RUNNING ends early on a cancel; the start then
  // reports a time-out nobody reads.
  CServiceControl::SleepFunction sleep = [&clock, &cancel](uint32_t ms) { clock.SleepFor(ms, &cancel); };
  CServiceControl::ManagerFactory open = env_.openManager;
  if (!open) open = [](uint32_t& error) { return svc::OpenServiceManager(error); };
  auto control = std::make_unique<CServiceControl>(std::move(open), std::move(sleep));
  control->Init(name);
  return control;
}

bool ConnectLauncher::CheckServicesReady(const platform::Event& cancel) {
  if (Service(kAdapterServiceName, cancel)->QueryState() != svc::SERVICE_RUNNING) {
    LogPrint(LOG_DEBUG, "vqsvc is Not Ready!\n");
    return false;
  }
  LogPrint(LOG_DEBUG, "vqsvc is Ready!\n");
  const std::unique_ptr<CServiceControl> tunnel = Service(kTunnelServiceName, cancel);
  switch (const uint32_t state = tunnel->QueryState()) {
    case svc::SERVICE_RUNNING:
      LogPrint(LOG_DEBUG, "Brindleway is Ready!\n");
      return true;
    case svc::SERVICE_STOPPED:
      tunnel->Start();
      LogPrint(LOG_DEBUG, "Brindleway is Not Start,StartService !\n");
      return false;
    default:
      LogPrint(LOG_DEBUG, "Brindleway is Not Ready,ErroStatus =%d!\n", static_cast<int>(state));
      return false;
  }
}

bool ConnectLauncher::IsWmiServiceRunning(const platform::Event& cancel) {
  return Service(kWmiServiceName, cancel)->QueryState() == svc::SERVICE_RUNNING;
}

bool ConnectLauncher::Resolves(const std::string& host) const {
  in_addr address{};
  if (::inet_pton(AF_INET, host.c_str(), &address) == 1) return true;
  if (env_.lookUpName) return env_.lookUpName(host);
  return platform::net::ResolveIPv4(host, address) == 0;
}

}  // namespace client
