// UpdateThread's road:
//   gate (or stop) -> list URL by mode -> installer name and version (their
//   defaults) -> "check" -> 2: box 102 -> Yes: "update" -> 3: stop the
//   tunnel service, start the installer, Exit.
#include "client/app/update_trigger.h"

#include <fmt/printf.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <system_error>
#include <vector>

#include "client/app/client_app.h"
#include "client/app/client_constants.h"
#include "client/app/top_most_message.h"
#include "platform/paths/paths.h"
#include "platform/process/child_process.h"
#include "platform/shell/shell_execute.h"
#include "platform/ui/win32_ui.h"
#include "platform/win32/win32_error.h"
#include "support/log.h"
#include "support/registry_helpers.h"
#include "support/text_convert.h"
#include "support/url_credential.h"

namespace client {
namespace {

namespace ui = platform::ui;

// The values are read into 512-byte buffers of UTF-16 text.
constexpr uint32_t kSettingCapacity = REG_STRING_READ_BYTES / 2;

// The value, or "" when it is missing or does not read.
std::string ReadSetting(const char* name) {
  std::string value;
  uint32_t size = kSettingCapacity;
  if (RegReadProductValue(name, value, size) != 0) return {};
  return value;
}

std::string ReadSetting(const char* name, const char* fallback) {
  std::string value = ReadSetting(name);
  return value.empty() ? std::string(fallback) : value;
}

}  // namespace

UpdateTrigger::UpdateTrigger(ClientApp& app, Env env) : app_(app), env_(std::move(env)) {}

UpdateTrigger::~UpdateTrigger() { Stop(); }

void UpdateTrigger::CreateGate() { gate_.Reset(); }

void UpdateTrigger::SetGate() { gate_.Set(); }

void UpdateTrigger::Start(int mode) {
  // One thread waits at most: the older request's would be released by
  // this connect's signal, with the other gateway's connection.
  Stop();
  gate_.Reset();
  conn_info conn = app_.Conn();
  try {
    thread_.Start([this, mode, conn = std::move(conn)](const platform::Event& stop) { UpdateThread(mode, conn, stop); });
  } catch (const std::system_error&) {
    LogPrint(LOG_ERR, "Create thread for update failed\n");
  }
}

void UpdateTrigger::Stop() { thread_.StopAll(); }

std::string UpdateTrigger::CredentialWord(const conn_info& conn, bool useCredential) {
  if (useCredential || conn.auth_type == AUTH_TYPE_COOKIE || conn.auth_type == AUTH_TYPE_USB_KEY_ONLY) return "cookie";
  if (conn.auth_type == AUTH_TYPE_PASSWORD) return "password";
  return {};
}

std::string UpdateTrigger::ListUrl(const std::string& user, const std::string& password, const std::string& host,
                                   uint32_t port, const std::string& listFile) {
  return "https://" + EncodeUrlCredential(user) + ":" + EncodeUrlCredential(password) + "@" + host + ":" +
         std::to_string(port) + "/" + listFile;
}

int UpdateTrigger::UpdateThread(int mode, const conn_info& conn, const platform::Event& stop) {
  if (platform::WaitAny({&stop, &gate_}, platform::INFINITE_WAIT) != 1) return 0;

  int ended = 0;
  const std::string url = UpdateListUrl(mode, conn, ended);
  if (url.empty()) return ended;
  const std::string installer = ReadSetting(kUpdateInstallerValue, kDefaultUpdateInstaller);
  const std::string version = ReadSetting(kProductVersionValue, kDefaultProductVersion);

  // The update uses the check's word: with the gateway's credential in the
  // URL, "password" would post it to the login form and fail.
  const std::string word = CredentialWord(conn, app_.Reports().useCredential);
  const int checked = CheckForNewVersion(url, installer, version, word, conn, stop);
  if (stop.IsSet()) return 0;
  switch (checked) {
    case kUpdaterNotNewer: LogPrint(LOG_INFO, "No new version exists"); break;
    case kUpdaterNewer: {
      LogPrint(LOG_INFO, "New version exists");
      if (!AskToUpdate(stop)) break;
      const int updated = UpdateFiles(url, installer, version, word, conn, stop);
      if (stop.IsSet()) return 0;
      if (updated != kUpdaterUpdated) {
        LogPrint(LOG_ERR, "Update files failed\n");
        break;
      }
      app_.Link().RunNetStop();
      // Nothing was installed when the installer does not start: the
      // client stays.
      if (RunInstaller(installer)) app_.Exit();
      break;
    }
    case kUpdaterFailed: LogPrint(LOG_ERR, "Check update failed.\n"); break;
    default: break;
  }
  return 0;
}

std::string UpdateTrigger::UpdateListUrl(int mode, const conn_info& conn, int& ended) {
  ended = 0;
  std::string url = ReadSetting(kUpdateUrlValue);
  if (mode == kUpdateModeConfiguredUrl) return url;
  if (mode != kUpdateModeConnection) return url;

  const std::string listFile = ReadSetting(kUpdateListFileValue, kDefaultUpdateListFile);
  // The gateway this connect tried: the store's current connection may be
  // another one by now, which must not receive this one's password.
  const std::string host = AnsiToUtf8(conn.host);
  const std::string user = AnsiToUtf8(conn.user);
  const std::string password =
      app_.Reports().useCredential ? app_.Reports().GatewayCredential() : AnsiToUtf8(conn.secret1);
  if (host.empty() || conn.port == 0 || user.empty() || password.empty()) {
    ended = 1;
    return {};
  }
  return ListUrl(user, password, host, conn.port, listFile);
}

int UpdateTrigger::CheckForNewVersion(const std::string& url, const std::string& installer,
                                      const std::string& version, const std::string& word, const conn_info& conn,
                                      const platform::Event& stop) {
  if (word.empty()) {
    errno = EINVAL;
    ReportLastError(app_, "CheckForNewVersion Invalid authentication type for Thimbleset");
    return kUpdaterFailed;
  }
  return RunUpdater("check", url, installer, version, word, conn, "CreateProcess failed (%d).", stop);
}

int UpdateTrigger::UpdateFiles(const std::string& url, const std::string& installer, const std::string& version,
                               const std::string& word, const conn_info& conn, const platform::Event& stop) {
  return RunUpdater("update", url, installer, version, word, conn, "UpdateFiles CreateProcess failed (%d).", stop);
}

int UpdateTrigger::RunUpdater(const char* verb, const std::string& url, const std::string& installer,
                              const std::string& version, const std::string& word, const conn_info& conn,
                              const char* failureText, const platform::Event& stop) {
  const std::string program =
      env_.updater.empty() ? platform::paths::ModuleDir() + "/" + kUpdaterProgram : env_.updater;
  std::vector<std::string> argv{program, verb, url, installer, version, word};
  if (!conn.secret2.empty()) argv.push_back(conn.secret2);

  // The list and, for "update", the installer land in the user's own
  // temporary folder.
  const std::string folder = platform::paths::UserTempDir();
  int error = errno != 0 ? errno : EACCES;
  platform::process::ChildOutcome outcome;
  if (!folder.empty()) {
    outcome = platform::process::RunChildAndWait(argv, folder, &stop);
    error = outcome.error;
  }
  switch (outcome.end) {
    case platform::process::ChildEnd::Exited: return outcome.exitCode;
    case platform::process::ChildEnd::NotStarted: {
      errno = error;
      ReportLastError(app_, fmt::sprintf(failureText, static_cast<int>(platform::Win32FromErrno(error))));
      return kUpdaterFailed;
    }
    default: return kUpdaterFailed;
  }
}

bool UpdateTrigger::AskToUpdate(const platform::Event& stop) {
  struct Answer {
    platform::Event given{platform::Event::Reset::Manual};
    std::atomic<int> value{ui::IDNO};
  };
  // Shared with the box: it may be answered after this thread ended.
  auto answer = std::make_shared<Answer>();
  app_.Host().Post([&app = app_, answer] {
    app.Host().MessageBox(nullptr, app.Host().String(IDS_NEW_VERSION), kProductTitle,
                          ui::MB_YESNO | ui::MB_ICONQUESTION, [answer](int result) {
                            answer->value = result;
                            answer->given.Set();
                          });
  });
  if (platform::WaitAny({&stop, &answer->given}, platform::INFINITE_WAIT) != 1) return false;
  return answer->value == ui::IDYES;
}

bool UpdateTrigger::RunInstaller(const std::string& installer) {
  const std::string folder = platform::paths::UserTempDir();
  int error = errno != 0 ? errno : EACCES;
  if (!folder.empty()) error = platform::shell::ShellExecute("runas", folder + "/" + installer, "");
  if (error == 0) return true;
  errno = error;
  ReportLastError(app_, "RunInstaller ShellExecute failed");
  return false;
}

}  // namespace client
