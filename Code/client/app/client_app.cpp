// Start of the client application, in this order:
//   1. the four locks (members, so they exist for the whole run)
//   2. the certificate settings, zeroed, read from the user's settings key
//   3. current directory = the program's folder; log init; "Start _tWinMain..."
//   4. the UI language and its string table (else the built-in English one)
//   5. the Options dialog object and the saved-connection store
//   6. the instance mutex: taken -> label it, read the command line, maybe
//      the hidden window; held by another copy -> hand over with VQ_START
// Shutdown, once the loop ended: the host takes no more work, every thread
// started is stopped and joined, then mutex, log, Options object, the
// change-password event and the certificate settings go, in that order.
#include "client/app/client_app.h"

#include "client/app/client_constants.h"
#include "client/app/client_strings.h"
#include "client/app/command_line.h"
#include "client/app/main_window.h"
#include "client/app/preferred_gateways.h"
#include "client/app/single_instance.h"
#include "client/store/process_store.h"
#include "platform/win32/win32_error.h"
#include "support/log.h"
#include "support/os_version.h"
#include "support/ui_language.h"

namespace client {

ClientApp::ClientApp(platform::ui::UiHost& host, ClientHooks hooks, Settings settings)
    : host_(host),
      hooks_(WithDefaults(std::move(hooks))),
      settings_(std::move(settings)),
      link_(std::make_unique<ServiceLink>(*this, settings_.link)),
      launcher_(std::make_unique<ConnectLauncher>(*this, settings_.connect)),
      preferred_(std::make_unique<PreferredGateways>(*this, g_xmlConfig)),
      updates_(std::make_unique<UpdateTrigger>(*this, settings_.update)) {}

ClientApp::~ClientApp() {
  if (started_) Shutdown();
}

bool ClientApp::Start(int argc, char* argv[]) {
  started_ = true;
  certs_.Load();

  SetCurrentDirToModuleDir();
  LogInit(nullptr);
  LogAllowUserFallback(true);
  LogPrint(LOG_DEBUG, "Start _tWinMain...\n");

  language_ = settings_.language ? *settings_.language : GetUILanguage();
  const std::string programDir = settings_.programDir.empty() ? LanguageBaseDir() : settings_.programDir;
  strings_ = LoadClientStrings(programDir, language_);
  host_.SetStrings([this](uint32_t id) { return strings_->Find(id); });

  hooks_.createOptions(*this);
  hooks_.loadStore(*this);

  switch (const uint32_t error = mutex_.Acquire(kInstanceMutexName, platform::InstanceLock::Role::Console)) {
    case platform::ERROR_SUCCESS:
      // Without the label the web control cannot see the client: worth a
      // line, not the start.
      if (IsVistaOrLater() && !SetLowIntegrityLabel()) LogPrint(LOG_ERR, "SetLowIntegrityLabel failed\n");
      if (argc < 2) return SvcMain();
      ProcessCommandLine(argc, argv);
      // Options without -d end the program at once.
      return webStart_ && SvcMain();
    case platform::ERROR_ACCESS_DENIED:
    case platform::ERROR_ALREADY_EXISTS:
      SendStartToRunningInstance();
      return false;
    default:
      LogPrint(LOG_ERR, "CreateMutex error [%d]\n", error);
      return false;
  }
}

void ClientApp::ProcessCommandLine(int argc, char* argv[]) {
  const CommandLine line = ParseCommandLine(argc, argv, Conn());
  HideSecretArguments(argc, argv);
  {
    std::lock_guard lock(connLock_);
    const std::string user = conn_.user;
    conn_ = line.conn;
    conn_.user = user;
  }
  if (line.userGiven) SetConnUser(line.user);
  webStart_ = line.webStart;
  noAutoConnect_ = line.noAutoConnect;
}

bool ClientApp::SvcMain() {
  window_ = std::make_unique<MainWindow>(*this);
  window_->Create();
  link_->ClearStatusBlock();
  if (webStart_ && !noAutoConnect_) {
    {
      std::lock_guard lock(connLock_);
      conn_.init |= CONN_FLAG_NEW_SERVER_CERT;
      conn_.auth_type = AUTH_TYPE_COOKIE;
    }
    LogPrint(LOG_INFO, "Web start: the gateway's new certificate is accepted\n");
    hooks_.connectToServerWithUsbKey(*this);
  }
  LogPrint(LOG_INFO, "Marrowlantern started\n");
  return true;
}

void ClientApp::Exit() {
  if (!host_.IsUiThread()) {
    host_.Post([this] { Exit(); });
    return;
  }
  if (window_ && window_->Created()) {
    window_->OnCommand(ID_EXIT);
  } else {
    host_.Quit(0);
  }
}

void ClientApp::LogOff() {
  if (!host_.IsUiThread()) {
    host_.Post([this] { LogOff(); });
    return;
  }
  if (window_ && window_->Created()) window_->OnLogoff();
  Exit();
}

void ClientApp::StopWorkers() {
  // Nobody waits for the UI thread any more, so every worker can end.
  host_.BeginShutdown();
  launcher_->CancelConnect();
  updates_->Stop();
  if (window_) window_->StopPipeServers();
  // No report can start a switch any more.
  preferred_->Stop();
  threads_.StopAll();
}

void ClientApp::Shutdown() {
  if (shutDown_) return;
  shutDown_ = true;
  if (window_) window_->Destroy();
  StopWorkers();
  window_.reset();

  mutex_.Release();
  LogCleanup();
  hooks_.destroyOptions(*this);
  hooks_.closePasswordResultEvent(*this);
  certs_.Set(CertSettings{});
}

conn_info ClientApp::Conn() const {
  conn_info copy;
  {
    std::lock_guard lock(connLock_);
    copy = conn_;
  }
  copy.user = GetConnUser();
  return copy;
}

void ClientApp::SetConn(const conn_info& conn) {
  {
    std::lock_guard lock(connLock_);
    const std::string user = conn_.user;
    conn_ = conn;
    conn_.user = user;
  }
  SetConnUser(conn.user);
}

std::string ClientApp::GetConnUser() const {
  std::lock_guard lock(userLock_);
  std::lock_guard connLock(connLock_);
  return conn_.user;
}

void ClientApp::SetConnUser(std::string_view user) {
  std::lock_guard lock(userLock_);
  std::lock_guard connLock(connLock_);
  conn_.user = std::string(user.substr(0, conn_info::kUserSize - 1));
}

}  // namespace client
