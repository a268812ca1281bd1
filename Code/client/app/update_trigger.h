// The update trigger: every connect request starts UpdateThread beside the
// connect thread. It waits for the update gate (set by the report pipe once
// the connection is up, or failed with a code that points to an outdated
// client), asks the updater whether the gateway offers a newer client
// ("check") and, when the user agrees, has it fetch the files ("update");
// after a good update the tunnel service is stopped, the downloaded
// installer started and the client exits.
//
// At most one update thread: a newer connect request ends the one waiting
// (and its updater) and starts afresh with the gate unsignalled. The thread
// takes g_conn as it is at the request, so that its URL names the gateway
// that connect tried. Box 102 is posted to the UI thread; the thread waits
// for its answer or its stop event, never for the UI thread alone.
//
// Threads: Start and Stop on the UI thread; SetGate on any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/sync/event.h"
#include "platform/sync/owned_threads.h"
#include "support/conn_info.h"

namespace client {

class ClientApp;

// The settings key values (HKEY_LOCAL_MACHINE) and their defaults.
inline constexpr char kUpdateUrlValue[] = "ThimblesetUrl";
inline constexpr char kUpdateListFileValue[] = "ThimblesetConfigFile";
inline constexpr char kUpdateInstallerValue[] = "ThimblesetLocalFile";
inline constexpr char kProductVersionValue[] = "ProductVer";
inline constexpr char kDefaultUpdateListFile[] = "qimbo.xml";
inline constexpr char kDefaultUpdateInstaller[] = "qimbo.exe";

// The updater, beside the client's own program.
inline constexpr char kUpdaterProgram[] = "Thimbleset";

// Update modes: the configured URL as it stands, or one built from the
// connection (what StartConnect passes).
inline constexpr int kUpdateModeConfiguredUrl = 1;
inline constexpr int kUpdateModeConnection = 2;

// The updater's answers.
inline constexpr int kUpdaterNotNewer = 1;
inline constexpr int kUpdaterNewer = 2;
inline constexpr int kUpdaterUpdated = 3;
inline constexpr int kUpdaterFailed = 4;

inline constexpr uint32_t IDS_NEW_VERSION = 102;

class UpdateTrigger {
 public:
  struct Env {
    // The updater's path; empty: kUpdaterProgram in the program's folder.
    std::string updater;
  };

  UpdateTrigger(ClientApp& app, Env env);
  ~UpdateTrigger();
  UpdateTrigger(const UpdateTrigger&) = delete;
  UpdateTrigger& operator=(const UpdateTrigger&) = delete;

  // The gate made anew with the main window: unsignalled.
  void CreateGate();
  void SetGate();
  // Ends the update thread that waits, if any, and starts one for this
  // connect request.
  void Start(int mode);
  // Ends the update thread (and its updater) and waits for it.
  void Stop();
  size_t Running() { return thread_.Running(); }

  // The credential word of the updater's command line for this connection:
  // "cookie" when the gateway's credential stands in for the password or
  // the login is by cookie or USB key, "password" for a password login,
  // "" for any other type.
  static std::string CredentialWord(const conn_info& conn, bool useCredential);
  // "https://U:P@HOST:PORT/FILE" with user name and password written as
  // the updater reads them.
  static std::string ListUrl(const std::string& user, const std::string& password, const std::string& host,
                             uint32_t port, const std::string& listFile);

 private:
  int UpdateThread(int mode, const conn_info& conn, const platform::Event& stop);
  // The list URL for the mode; "" ends the thread (ended holds its code).
  std::string UpdateListUrl(int mode, const conn_info& conn, int& ended);
  int CheckForNewVersion(const std::string& url, const std::string& installer, const std::string& version,
                         const std::string& word, const conn_info& conn, const platform::Event& stop);
  int UpdateFiles(const std::string& url, const std::string& installer, const std::string& version,
                  const std::string& word, const conn_info& conn, const platform::Event& stop);
  // Runs the updater with the verb; kUpdaterFailed when it did not start
  // (reported with failureText) or did not end on its own.
  int RunUpdater(const char* verb, const std::string& url, const std::string& installer, const std::string& version,
                 const std::string& word, const conn_info& conn, const char* failureText,
                 const platform::Event& stop);
  // Box 102: true for Yes; false for No and when stop ended the wait.
  bool AskToUpdate(const platform::Event& stop);
  // False (reported) when the installer could not be started.
  bool RunInstaller(const std::string& installer);

  ClientApp& app_;
  const Env env_;
  platform::Event gate_{platform::Event::Reset::Auto};
  platform::OwnedThreads thread_;
};

}  // namespace client
