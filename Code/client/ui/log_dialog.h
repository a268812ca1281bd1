// The Log window (dialog 114): the lines this process has logged since
// they were last cleared, refreshed every second; "Clear" empties window
// and queue, "Detail" shows the whole log file in the desktop's viewer.
#pragma once

#include <cstdint>
#include <string>

#include "platform/ui/dialog.h"

namespace client {

class ClientApp;

inline constexpr int IDD_LOG = 114;
inline constexpr int IDC_LOG_TEXT = 1030;
inline constexpr int IDC_LOG_CLEAR = 1042;
inline constexpr int IDC_LOG_DETAIL = 1048;
inline constexpr uint32_t kLogTimerId = 8;
inline constexpr uint32_t kLogTimerMs = 1000;
// How far a refresh scrolls the text down: past the queue's last line.
inline constexpr int kLogScrollLines = 250;
inline constexpr uint32_t IDS_OPEN_LOG_FAILED = 4005;
// The log's readable copy, in the user's own temporary folder.
inline constexpr char kLogCopyName[] = "log.txt";

const platform::ui::DialogTemplate& LogTemplate();

class LogDialogLogic : public platform::ui::DialogLogic {
 public:
  explicit LogDialogLogic(ClientApp& app) : app_(app) {}
  void OnInit(platform::ui::Dialog& d) override;
  void OnTimer(platform::ui::Dialog& d, uint32_t id) override;
  void OnCommand(platform::ui::Dialog& d, int id, int code) override;

 private:
  void Refresh(platform::ui::Dialog& d);
  void ShowLogFile();

  ClientApp& app_;
};

// The log file as UTF-8 text in <user temp>/log.txt (mode 0600, replaced
// whole): its path, or "" when the log or the copy cannot be had.
std::string WriteReadableLogCopy();

// Opens dialog 114 modal without owner (the tray brings an open
// one forward instead).
platform::ui::Dialog* OpenLogDialog(ClientApp& app);

}  // namespace client
