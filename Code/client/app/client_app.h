// The client application's process-wide state and its start and shutdown,
// owned by one object so that tests run it in-process: the connection record
// g_conn, the four locked values (channel status, USB-key watch value,
// session state, and g_conn's user field), the web-start and
// no-auto-connect flags, the resource module (the string table in use), the
// certificate settings, the instance mutex, the hidden main window and every
// thread the application starts.
//
// Threads: Start, the main window and Shutdown run on the UI host's thread;
// the locked values and the record may be read and written from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "client/app/client_hooks.h"
#include "client/app/connect_launcher.h"
#include "client/app/password_requests.h"
#include "client/app/report_state.h"
#include "client/app/service_link.h"
#include "client/app/update_trigger.h"
#include "client/cert/client_cert_settings.h"
#include "client/ui/login_state.h"
#include "platform/sync/instance_lock.h"
#include "platform/sync/locked_value.h"
#include "platform/sync/owned_threads.h"
#include "platform/ui/ui_host.h"
#include "support/conn_info.h"
#include "support/language_strings.h"

namespace client {

class MainWindow;
class PreferredGateways;

class ClientApp {
 public:
  struct Settings {
    // Where lang/<id>/ is looked for; empty: the program's folder.
    std::string programDir;
    // The UI language; nothing: the user's (GetUILanguage).
    std::optional<uint16_t> language;
    // How the service link starts the tunnel service.
    ServiceLink::Env link;
    // The connect thread's service manager and name check.
    ConnectLauncher::Env connect;
    // The updater the update trigger runs.
    UpdateTrigger::Env update;
  };

  ClientApp(platform::ui::UiHost& host, ClientHooks hooks = {}, Settings settings = {});
  ~ClientApp();
  ClientApp(const ClientApp&) = delete;
  ClientApp& operator=(const ClientApp&) = delete;

  // _tWinMain up to the message loop: true when the hidden window runs and
  // the host's loop is to be run, false when this copy ends at once (another
  // instance took the hand-over, options without -d, a mutex error).
  // argv is the process's own: the secret values in it are overwritten.
  bool Start(int argc, char* argv[]);
  // After the loop ended (or Start returned false): the UI host stops taking
  // work, every thread the application started is stopped and joined, then
  // the shutdown steps. Runs once.
  void Shutdown();

  // What the Exit command does, for a stop request from outside (SIGINT).
  void Exit();
  // The desktop session ends (SIGTERM, SIGHUP): the window's log-off, then
  // Exit, on the UI thread.
  void LogOff();
  // The host's waits released, then the pipe servers and every thread in
  // Threads() stopped and joined (Exit and Shutdown; UI thread).
  void StopWorkers();

  // g_conn. Its user field only through GetConnUser / SetConnUser.
  conn_info Conn() const;
  void SetConn(const conn_info& conn);
  std::string GetConnUser() const;
  void SetConnUser(std::string_view user);

  int GetChannelStatus() const { return channelStatus_.Get(); }
  // USB-key watch: a status back at 1 ends the key's login, so the value
  // that says the key was in goes back to 0 with it.
  void SetChannelStatus(int status) {
    channelStatus_.Set(status);
    if (status == 1) usbKeyValue_.Set(0);
  }
  int GetUsbKeyValue() const { return usbKeyValue_.Get(); }
  void SetUsbKeyValue(int value) { usbKeyValue_.Set(value); }
  // USB-key watch: the value before, replaced in the same locked step.
  int ExchangeUsbKeyValue(int value) { return usbKeyValue_.Exchange(value); }
  int32_t GetSessionState() const { return sessionState_.Get(); }
  void SetSessionState(int32_t state) { sessionState_.Set(state); }
  // The login mode (0 password, 1 with USB key, 2 USB key only, 3 not
  // chosen), any thread.
  int GetLoginMode() const { return loginMode_.Get(); }
  void SetLoginMode(int mode) { loginMode_.Set(mode); }
  // StartConnect and the connect thread.
  ConnectLauncher& Launcher() { return *launcher_; }
  // The update thread and its gate.
  UpdateTrigger& Updates() { return *updates_; }

  bool WebStart() const { return webStart_; }
  bool NoAutoConnect() const { return noAutoConnect_; }
  const LanguageStrings& Strings() const { return *strings_; }
  uint16_t UiLanguage() const { return language_; }
  // The certificate choice the login reads and Select Certificate replaces.
  const ClientCertSettings& Certificates() const { return certs_; }
  ClientCertSettings& Certificates() { return certs_; }
  bool HoldsInstance() const { return mutex_.Held(); }

  platform::ui::UiHost& Host() { return host_; }
  const ClientHooks& Hooks() const { return hooks_; }
  MainWindow* Window() { return window_.get(); }
  ServiceLink& Link() { return *link_; }
  // What the tunnel service's reports set (any thread).
  ReportState& Reports() { return reports_; }
  // Workers of later parts (connect, update, USB-key watch) start here, so
  // that shutdown finds and joins them.
  platform::OwnedThreads& Threads() { return threads_; }
  // The preferred-gateway list and its switch thread (any thread).
  PreferredGateways& Preferred() { return *preferred_; }

  // The change-password requests sent and answered (any thread).
  PasswordRequests& PasswordChanges() { return passwordChanges_; }
  // The login dialog's state and its pending profile.
  LoginState& Login() { return login_; }

 private:
  void ProcessCommandLine(int argc, char* argv[]);
  // SVCMain up to the loop; false when there is no window.
  bool SvcMain();

  platform::ui::UiHost& host_;
  const ClientHooks hooks_;
  const Settings settings_;

  // The four critical sections and what they guard.
  platform::LockedValue<int> channelStatus_{1};
  platform::LockedValue<int> usbKeyValue_{0};
  platform::LockedValue<int32_t> sessionState_{0};
  platform::LockedValue<int> loginMode_{0};
  mutable std::mutex userLock_;
  // The rest of g_conn, for the threads that hand records over.
  mutable std::mutex connLock_;
  conn_info conn_;

  bool webStart_ = false;
  bool noAutoConnect_ = false;
  std::optional<LanguageStrings> strings_;
  uint16_t language_ = 1033;
  ClientCertSettings certs_;
  ReportState reports_;
  PasswordRequests passwordChanges_;
  LoginState login_;

  platform::InstanceLock mutex_;
  std::unique_ptr<ServiceLink> link_;
  std::unique_ptr<MainWindow> window_;
  platform::OwnedThreads threads_;
  std::unique_ptr<ConnectLauncher> launcher_;
  // After the launcher: its thread starts connects, so it goes first.
  std::unique_ptr<PreferredGateways> preferred_;
  std::unique_ptr<UpdateTrigger> updates_;
  bool started_ = false;
  bool shutDown_ = false;
};

}  // namespace client
