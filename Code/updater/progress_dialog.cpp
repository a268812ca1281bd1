#include "updater/progress_dialog.h"

#include <ctime>
#include <memory>

#include "platform/ui/win32_ui.h"
#include "support/log.h"
#include "updater/constants.h"

namespace thimbleset {

using namespace platform::ui;

const DialogTemplate& ProgressDialogTemplate() {
  // The group box holds the rows it spans.
  static const DialogTemplate templ(
      IDD_PROGRESS,
      {
          {.kind = ControlKind::GroupBox, .row = 0, .col = 0, .rowSpan = 5, .colSpan = 3},
          {.kind = ControlKind::Label, .row = 0, .col = 0, .colSpan = 3},
          {.id = IDC_PROGRESS_FILE, .kind = ControlKind::ProgressBar, .row = 1, .col = 0, .colSpan = 3},
          {.kind = ControlKind::Label, .row = 2, .col = 0, .colSpan = 3},
          {.id = IDC_PROGRESS_TOTAL, .kind = ControlKind::ProgressBar, .row = 3, .col = 0, .colSpan = 3},
          {.id = IDC_EVENT_LIST, .kind = ControlKind::ListBox, .row = 4, .col = 0, .colSpan = 3},
          {.id = IDOK, .kind = ControlKind::Button, .row = 5, .col = 1, .style = kDefaultButton},
          {.id = IDCANCEL, .kind = ControlKind::Button, .row = 5, .col = 2},
      });
  return templ;
}

void ProgressDialogLogic::OnInit(Dialog& d) {
  d.SetProgressRange(IDC_PROGRESS_FILE, 0, 100);
  d.SetProgressRange(IDC_PROGRESS_TOTAL, 0, 100);
  d.SetVisible(IDCANCEL, true);
  d.SetVisible(IDOK, false);
  d.SetTimer(kStartTimer, kStartTimerMs);
}

void ProgressDialogLogic::OnTimer(Dialog& d, uint32_t id) {
  if (id == kStartTimer) StartNext(d);
}

void ProgressDialogLogic::StartNext(Dialog& d) {
  if (running_ >= kMaxRunningDownloads) return;
  DownloadItem* item = queue_.First();
  if (item == nullptr || item->Started()) return;
  if (item->kind == DOWNLOAD_KIND_UPDATE) AddLine(d, FormatText(d.host().LoadString(IDS_UPDATING_FILE), item->name));
  // Reports go to this dialog, not to whichever dialog of its template is
  // open when they arrive: a worker of a dialog that ended may still be
  // posting, and in a later dialog the item it names could be a new one at
  // the same address.
  UiHost& host = d.host();
  const bool started =
      item->Start([&host, token = d.token()](uint32_t message, uintptr_t wParam, DownloadItem* from) {
        host.Post([token, message, wParam, from] {
          if (Dialog* open = *token) open->SendMessage(message, wParam, reinterpret_cast<intptr_t>(from));
        });
      });
  if (started) {
    ++running_;
  } else {
    // No worker: its end comes from here, so the queue moves on.
    End(d, *item, item->kind, DOWNLOAD_CLOSED);
  }
}

intptr_t ProgressDialogLogic::OnMessage(Dialog& d, uint32_t message, uintptr_t wParam, intptr_t lParam) {
  if (message != WM_DOWNLOAD_PROGRESS && message != WM_DOWNLOAD_END) return 0;
  auto* item = reinterpret_cast<DownloadItem*>(lParam);
  // Only items still held: a report may outlive nothing it names.
  if (item == nullptr || !queue_.Contains(item)) return 0;
  const uint32_t kind = static_cast<uint32_t>(wParam >> 16) & 0xFFFF;
  const uint32_t low = static_cast<uint32_t>(wParam) & 0xFFFF;
  if (message == WM_DOWNLOAD_PROGRESS) {
    Progress(d, *item, kind, low);
  } else {
    --running_;
    End(d, *item, kind, low);
  }
  return 1;
}

void ProgressDialogLogic::Progress(Dialog& d, DownloadItem& item, uint32_t kind, uint32_t bytes) {
  if (item.expectedLength != 0)
    d.SetProgress(IDC_PROGRESS_FILE, static_cast<int>(item.Received() * 100.0 / item.expectedLength));
  if (kind != DOWNLOAD_KIND_UPDATE) return;
  totalReceived_ += bytes;
  if (totalLength_ != 0) d.SetProgress(IDC_PROGRESS_TOTAL, static_cast<int>(totalReceived_ * 100.0 / totalLength_));
}

void ProgressDialogLogic::End(Dialog& d, DownloadItem& item, uint32_t kind, uint32_t code) {
  if (kind == DOWNLOAD_KIND_UPDATE) {
    if (code != DOWNLOAD_DONE) {
      AddLine(d, FormatText(d.host().LoadString(IDS_DOWNLOAD_FAILED), item.name, code), code);
      failed_ = true;
    } else if (!ReplaceTarget(item)) {
      AddLine(d, FormatText(d.host().LoadString(IDS_RENAME_FAILED), item.name));
      failed_ = true;
    } else {
      AddLine(d, FormatText(d.host().LoadString(IDS_DOWNLOAD_DONE), item.name));
      StartReplaced(item, starter_);
    }
  }
  // The worker posted its end last: destroying the item only joins it.
  queue_.Remove(&item);
  if (queue_.Count() != 0 || kind != DOWNLOAD_KIND_UPDATE) return;
  done_ = true;
  d.KillTimer(kStartTimer);
  // A file missing would leave the client running a stale installer.
  if (failed_) return;
  AddLine(d, d.host().LoadString(IDS_UPDATE_DONE));
  d.SetVisible(IDCANCEL, false);
  d.SetVisible(IDOK, true);
}

void ProgressDialogLogic::OnCommand(Dialog& d, int id, int code) {
  if (code != BN_CLICKED) return;
  if (id == IDOK) {
    d.EndDialog(IDOK);
  } else if (id == IDCANCEL) {
    auto token = d.token();
    UiHost& host = d.host();
    host.MessageBox(&d, host.String(IDS_SURE_TO_EXIT), host.LoadString(StringEntryId(IDD_PROGRESS, 0)),
                    MB_ICONINFORMATION | MB_YESNO, [token](int answer) {
                      Dialog* open = *token;
                      if (open && !open->Ended() && answer == IDYES) open->EndDialog(IDCANCEL);
                    });
  }
}

void ProgressDialogLogic::AddLine(Dialog& d, const std::string& text, uint32_t code) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  const std::string line = FormatText("%.2u:%.2u:%.2u %s", static_cast<unsigned>(local.tm_hour),
                                      static_cast<unsigned>(local.tm_min), static_cast<unsigned>(local.tm_sec), text);
  const int index = d.AddItem(IDC_EVENT_LIST, line, code);
  d.SetSelection(IDC_EVENT_LIST, index);
}

bool RunProgressDialog(UiHost& host, DownloadQueue& queue, uint32_t totalLength, ReplacedFileStarter starter,
                       std::function<void(int exitCode)> onEnd) {
  auto logic = std::make_unique<ProgressDialogLogic>(queue, totalLength, std::move(starter));
  ProgressDialogLogic* state = logic.get();
  Dialog* d = host.OpenDialog(ProgressDialogTemplate(), nullptr, std::move(logic), Modality::Modal,
                              [state, onEnd = std::move(onEnd)](Dialog&, int result) {
                                // The dialog, and its logic, are still there.
                                const bool updated = result == IDOK && state->AllReplaced();
                                if (onEnd) onEnd(updated ? EXIT_UPDATED : EXIT_FAILED);
                              });
  return d != nullptr;
}

}  // namespace thimbleset
