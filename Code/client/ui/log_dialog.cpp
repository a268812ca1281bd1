#include "client/ui/log_dialog.h"

#include <sys/stat.h>

#include "client/app/client_app.h"
#include "client/app/top_most_message.h"
#include "platform/paths/paths.h"
#include "platform/replacement_file.h"
#include "platform/shell/open_document.h"
#include "platform/ui/win32_ui.h"
#include "support/log.h"

using namespace platform::ui;

namespace client {
namespace {

bool IsFolder(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

const DialogTemplate& LogTemplate() {
  static const DialogTemplate templ(
      IDD_LOG, {
                   {.id = IDC_LOG_TEXT, .kind = ControlKind::Edit, .row = 0, .col = 0, .colSpan = 4,
                    .style = kMultiLine | kReadOnly},
                   {.id = IDOK, .kind = ControlKind::Button, .row = 1, .col = 1, .style = kDefaultButton},
                   {.id = IDC_LOG_CLEAR, .kind = ControlKind::Button, .row = 1, .col = 2},
                   {.id = IDC_LOG_DETAIL, .kind = ControlKind::Button, .row = 1, .col = 3},
               });
  return templ;
}

void LogDialogLogic::OnInit(Dialog& d) {
  Refresh(d);
  d.SetTimer(kLogTimerId, kLogTimerMs);
}

void LogDialogLogic::OnTimer(Dialog& d, uint32_t id) {
  if (id == kLogTimerId) Refresh(d);
}

void LogDialogLogic::Refresh(Dialog& d) {
  const std::string queued = LogGetQueuedText();
  // The text is put in again only when it no longer starts with the
  // queue's: a user reading older lines is not thrown to the end each second.
  if (d.Text(IDC_LOG_TEXT).compare(0, queued.size(), queued) != 0) {
    d.SetText(IDC_LOG_TEXT, queued);
    d.ScrollLines(IDC_LOG_TEXT, kLogScrollLines);
  }
}

void LogDialogLogic::OnCommand(Dialog& d, int id, int code) {
  if (code != BN_CLICKED) return;
  switch (id) {
    case IDC_LOG_CLEAR:
      d.SetText(IDC_LOG_TEXT, "");
      d.ScrollLines(IDC_LOG_TEXT, kLogScrollLines);
      LogClearQueue();
      break;
    case IDC_LOG_DETAIL:
      ShowLogFile();
      break;
    case IDOK:
    case IDCANCEL:
      d.KillTimer(kLogTimerId);
      d.EndDialog(id);
      break;
    default:
      break;
  }
}

std::string WriteReadableLogCopy() {
  std::string text;
  if (LogReadFileText(text) != 0) return {};
  const std::string folder = platform::paths::UserTempDir();
  if (folder.empty()) return {};
  const std::string path = folder + "/" + kLogCopyName;
  platform::ReplacementFile copy;
  if (copy.Open(path) != 0 || copy.SetMode(0600) != 0 || copy.Write(text) != 0 || copy.Commit() != 0) return {};
  return path;
}

void LogDialogLogic::ShowLogFile() {
  const std::string logFile = LogFilePath();
  const std::string folder = logFile.substr(0, logFile.rfind('/'));
  // The log is UTF-16 for the programs that share it; the viewer gets a
  // UTF-8 copy it can show.
  std::string copy;
  if (IsFolder(folder)) copy = WriteReadableLogCopy();
  if (copy.empty() || platform::shell::OpenDocument(copy) != 0) {
    ShowTopMostMessage(app_, app_.Host().String(IDS_OPEN_LOG_FAILED), MB_ICONERROR);
  }
}

Dialog* OpenLogDialog(ClientApp& app) {
  return app.Host().OpenDialog(LogTemplate(), nullptr, std::make_unique<LogDialogLogic>(app), Modality::Modal);
}

}  // namespace client
