// The progress dialog of an update (dialog 102, "Thimbleset"): it starts
// the queue's downloads, shows a bar for the current file (1000) and one
// for the whole installer (1001), keeps a time-stamped list of what
// happened (1008), replaces each downloaded file, and lets the user leave
// with OK once every file is in place, or cancel at any time.
//
//   open        both bars 0..100, Cancel shown, OK hidden, timer 1000 (100 ms)
//   timer 1000  fewer than 5 running and the first item not started:
//               "Updating file [NAME] ..." and the item starts; an item
//               leaves the queue only at its end, so files come one after
//               another in list order
//   progress    current bar received / expected length, total bar all
//               bytes so far / installer length (it stays full past it)
//   end         code 0: the replace step ("Download file [NAME] done" or
//               "Rename file [NAME] failed"), else "Download file [NAME]
//               failed (CODE)"; the item goes; the queue empty and every
//               file replaced: "Update done.", Cancel hidden, OK shown
//   OK          ends with IDOK; Cancel asks "Are you sure to exit?" (Yes
//               ends with IDCANCEL, No goes on downloading)
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/ui/dialog.h"
#include "updater/download_queue.h"
#include "updater/file_replace.h"

namespace thimbleset {

inline constexpr int IDD_PROGRESS = 102;
inline constexpr int IDC_PROGRESS_FILE = 1000;
inline constexpr int IDC_PROGRESS_TOTAL = 1001;
inline constexpr int IDC_EVENT_LIST = 1008;
inline constexpr uint32_t kStartTimer = 1000;
inline constexpr uint32_t kStartTimerMs = 100;
inline constexpr int kMaxRunningDownloads = 5;

// Entries of dialog 102 that belong to no control: its lines and its box.
inline constexpr uint32_t IDS_UPDATING_FILE = platform::ui::StringEntryId(IDD_PROGRESS, 9001);
inline constexpr uint32_t IDS_DOWNLOAD_DONE = platform::ui::StringEntryId(IDD_PROGRESS, 9002);
inline constexpr uint32_t IDS_DOWNLOAD_FAILED = platform::ui::StringEntryId(IDD_PROGRESS, 9003);
inline constexpr uint32_t IDS_RENAME_FAILED = platform::ui::StringEntryId(IDD_PROGRESS, 9004);
inline constexpr uint32_t IDS_UPDATE_DONE = platform::ui::StringEntryId(IDD_PROGRESS, 9005);
inline constexpr uint32_t IDS_SURE_TO_EXIT = platform::ui::StringEntryId(IDD_PROGRESS, 9006);

const platform::ui::DialogTemplate& ProgressDialogTemplate();

class ProgressDialogLogic : public platform::ui::DialogLogic {
 public:
  // queue outlives the dialog; totalLength is the installer's Length.
  ProgressDialogLogic(DownloadQueue& queue, uint32_t totalLength, ReplacedFileStarter starter)
      : queue_(queue), totalLength_(totalLength), starter_(std::move(starter)) {}

  void OnInit(platform::ui::Dialog& d) override;
  void OnTimer(platform::ui::Dialog& d, uint32_t id) override;
  intptr_t OnMessage(platform::ui::Dialog& d, uint32_t message, uintptr_t wParam, intptr_t lParam) override;
  void OnCommand(platform::ui::Dialog& d, int id, int code) override;

  // Every item of the queue ended and was replaced.
  bool AllReplaced() const { return done_ && !failed_; }

 private:
  void StartNext(platform::ui::Dialog& d);
  void Progress(platform::ui::Dialog& d, DownloadItem& item, uint32_t kind, uint32_t bytes);
  void End(platform::ui::Dialog& d, DownloadItem& item, uint32_t kind, uint32_t code);
  // "hh:mm:ss TEXT" at the end of the list, selected; data is the code.
  void AddLine(platform::ui::Dialog& d, const std::string& text, uint32_t code = 0);

  DownloadQueue& queue_;
  const uint32_t totalLength_;
  const ReplacedFileStarter starter_;
  uint32_t totalReceived_ = 0;
  int running_ = 0;
  bool failed_ = false;
  bool done_ = false;
};

// Opens dialog 102 over queue; onEnd gets EXIT_UPDATED after OK with
// every file replaced, else EXIT_FAILED. False when the host opens nothing.
bool RunProgressDialog(platform::ui::UiHost& host, DownloadQueue& queue, uint32_t totalLength,
                       ReplacedFileStarter starter, std::function<void(int exitCode)> onEnd);

}  // namespace thimbleset
