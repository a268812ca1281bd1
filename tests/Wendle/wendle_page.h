// A page for the control in the test process: a UI thread with a headless
// host (boxes recorded through the UI log and answered with OK, dialogs
// driven by a UI script), and a control made by the library's factory
// with a site giving it that host. The test's own thread is the page's.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/com/dispatch.h"
#include "platform/com/site.h"
#include "platform/ui/headless_host.h"

class CWendleCtrl;

namespace vqtest {

class WendlePage {
 public:
  // script: UI script rules for the dialogs ("" none).
  explicit WendlePage(const std::string& uiLogPath, const std::string& script = "");
  ~WendlePage();

  CWendleCtrl& ctrl() { return *ctrl_; }
  platform::com::IDispatch& dispatch();

  // Texts of the boxes shown so far, and the dialogs opened and ended.
  std::vector<std::string> Boxes() const;
  int DialogsOpened(int templateId) const;
  std::vector<int> DialogResults(int templateId) const;

 private:
  std::vector<std::string> LogLines(const std::string& event) const;

  std::string logPath_;
  std::thread ui_;
  std::mutex mutex_;
  std::condition_variable ready_;
  platform::ui::HeadlessHost* host_ = nullptr;
  platform::com::ComPtr<platform::com::IUnknown> site_;
  CWendleCtrl* ctrl_ = nullptr;
};

}  // namespace vqtest
