// Where every connect request of the client ends (login dialog, web login,
// the retry after event 45, a preferred-gateway switch): StartConnect checks
// a snapshot of g_conn and starts the connect thread with it, and the
// update thread; the connect thread waits until the adapter's service
// "vqsvc" and the tunnel service "Marrowlantern" run (starting a stopped
// tunnel service), checks the WMI service and the gateway's name, and sends
// the open to the tunnel service.
//
// One connect thread at a time, owned here: Disconnect, Exit, a newer
// StartConnect and CancelConnect (the login dialog's Cancel) cancel it and
// wait for it; a cancelled connect never sends the open. The wait for the
// services runs on the host's clock.
//
// Threads: StartConnect on the UI thread (others post it, or use
// PostStartConnect); CancelConnect on any thread but the connect thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/sync/event.h"
#include "platform/sync/owned_threads.h"
#include "support/conn_info.h"
#include "support/service_control.h"

namespace client {

class ClientApp;

// The readiness wait: one test every second, 301 tests at most.
inline constexpr int kReadinessPauseMs = 1000;
inline constexpr int kReadinessLimitMs = 300000;
// The pause before the second look at the WMI service.
inline constexpr int kWmiRetryPauseMs = 2000;

inline constexpr char kAdapterServiceName[] = "vqsvc";
inline constexpr char kTunnelServiceName[] = "Marrowlantern";
inline constexpr char kWmiServiceName[] = "winmgmt";

// The string entry of the box a refused connect shows.
inline constexpr uint32_t IDS_INVALID_PARAMETERS = 610;
inline constexpr uint32_t IDS_WMI_NOT_RUNNING = 130;
inline constexpr uint32_t IDS_INVALID_SERVER_NAME = 94;

class ConnectLauncher {
 public:
  struct Env {
    // The service manager the readiness checks ask (empty: the system's).
    CServiceControl::ManagerFactory openManager;
    // The lookup of a gateway name (a dotted IPv4 address needs none):
    // true when it resolves (empty: the system's resolver).
    std::function<bool(const std::string& name)> lookUpName;
  };

  ConnectLauncher(ClientApp& app, Env env);
  ~ConnectLauncher();
  ConnectLauncher(const ConnectLauncher&) = delete;
  ConnectLauncher& operator=(const ConnectLauncher&) = delete;

  // 0 when the connect thread was started, -1 when g_conn was refused
  // ("Invalid parameters") or no thread could be made.
  int StartConnect();
  // StartConnect from any thread, run on the UI thread.
  void PostStartConnect();
  // Cancels the running connect, if any, and waits until it ended.
  void CancelConnect();

  // The exit code of the last connect thread that ended (1: gave up in the
  // client; else the open's result), nothing while none ended.
  std::optional<int> LastResult() const;
  size_t Running() { return thread_.Running(); }

 private:
  int ConnectThread(const conn_info& conn, const platform::Event& cancel);
  // CheckServicesReady; false also when cancelled.
  bool CheckServicesReady(const platform::Event& cancel);
  bool IsWmiServiceRunning(const platform::Event& cancel);
  std::unique_ptr<CServiceControl> Service(const char* name, const platform::Event& cancel);
  bool Resolves(const std::string& host) const;
  // The end of a connect that failed before the open: Connect enabled,
  // Disconnect grayed, and the waiting switch told.
  int EndFailed();
  void Finished(int result);

  ClientApp& app_;
  const Env env_;
  platform::OwnedThreads thread_;
  mutable std::mutex resultMutex_;
  std::optional<int> lastResult_;
};

}  // namespace client
