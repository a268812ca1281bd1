// What the headless and the Qt host share: the post, send and shutdown
// rules, timers, the open dialogs, boxes waiting for answers, the tray's
// state, strings and the UI log. A host adds its pump and its view through
// the hooks at the end.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/ui/dialog.h"
#include "platform/ui/timer_set.h"
#include "platform/ui/ui_host.h"
#include "platform/ui/ui_log.h"

namespace platform::ui {

// A box shown and not yet answered.
struct PendingBox {
  uint64_t serial = 0;
  std::shared_ptr<Dialog*> owner;  // null: no owner
  int ownerTemplate = 0;
  BoxText text;
  std::string caption;
  uint32_t flags = 0;
  std::function<void(int)> onResult;
};

class HostBase : public UiHost, private MenuObserver {
 public:
  explicit HostBase(Clock& clock);
  ~HostBase() override;

  bool Post(std::function<void()> fn) override;
  bool Send(std::function<void()> fn) override;
  bool IsUiThread() const override { return std::this_thread::get_id() == uiThread_; }
  Clock& clock() override { return clock_; }

  uint64_t StartTimer(uint32_t periodMs, std::function<void()> onTick) override;
  bool StopTimer(uint64_t timer) override;

  void MessageBox(Dialog* owner, BoxText text, std::string caption, uint32_t flags,
                  std::function<void(int)> onResult) override;
  int MessageBoxWait(BoxText text, std::string caption, uint32_t flags) override;
  int DialogWait(const DialogTemplate& templ, std::unique_ptr<DialogLogic> logic, DialogEnd onEnd = {}) override;

  Dialog* OpenDialog(const DialogTemplate& templ, Dialog* owner, std::unique_ptr<DialogLogic> logic,
                     Modality modality, DialogEnd onEnd = {}) override;
  Dialog* OpenPage(Dialog& parent, const DialogTemplate& templ, std::unique_ptr<DialogLogic> logic,
                   int hostControlId) override;
  Dialog* FindDialog(int templateId) override;
  void CloseDialog(Dialog& dialog, int result) override;

  void SetTrayIcon(int iconId, std::string tip) override;
  void ShowBalloon(std::string title, std::string text, BalloonIcon icon) override;
  void RemoveTrayIcon() override;
  void SetTrayHandler(std::function<void(TrayEvent)> handler) override { trayHandler_ = std::move(handler); }
  void SetTrayMenu(MenuModel* menu, std::function<void(int command)> onCommand) override;

  void SetStrings(StringSource strings) override { strings_ = std::move(strings); }
  std::string LoadString(uint32_t id, size_t maxUnits = 0) override;

  void BeginShutdown() override;

  // The UI log goes to this file instead of VQ_UI_LOG's.
  void SetLogFile(const std::string& path);

  // What the tray shows (kept also where there is no tray to show it in).
  int TrayIconId() const { return trayIcon_; }
  const std::string& TrayTip() const { return trayTip_; }
  MenuModel* TrayMenu() const { return trayMenu_; }
  // The dialogs open now, in opening order (pages included).
  std::vector<Dialog*> OpenDialogs() const;
  // Boxes shown and not answered, in showing order.
  const std::vector<PendingBox>& PendingBoxes() const { return boxes_; }
  bool ShuttingDown() const;

  // A tray event as the shell would report it.
  void DeliverTrayEvent(TrayEvent event);
  // A command of the tray menu, as if chosen; false when the menu has no
  // such item or it is grayed.
  bool ChooseTrayCommand(int command);
  // Answers a pending box; false when there is none with that serial.
  bool AnswerBox(uint64_t serial, int answer);

 protected:
  // Called on the UI thread for the work of a host's UI thread.
  void RequireUiThread(const char* what) const;
  // Runs fn unless the host shuts down; a host's pump calls this.
  void RunPosted(const std::function<void()>& fn);
  // Fires the timers due now, one at a time; true when one fired.
  bool FireDueTimer() { return timers_.FireOne(clock_.NowMs()); }
  std::optional<int64_t> NextTimerDue() const { return timers_.NextDue(); }
  void Log(const JsonLine& line);
  JsonLine LogLine(std::string_view event) const;

  // Hooks of a host. Enqueue may be called from any thread, with the
  // host's wait lock held: it must not wait for the UI thread.
  virtual void Enqueue(std::function<void()> fn) = 0;
  virtual void DropQueued() {}
  virtual void TimersChanged() {}
  virtual void ViewCreate(Dialog&) {}
  virtual void ViewDestroy(Dialog&) {}
  virtual void ViewBox(const PendingBox& box) = 0;
  virtual void ViewDropBox(uint64_t /*serial*/) {}
  virtual void ViewTray() {}
  virtual void ViewBalloon(const std::string& /*title*/, const std::string& /*text*/, BalloonIcon) {}
  virtual void ViewTrayMenu() {}
  virtual void AfterOpen(Dialog&) {}

 private:
  struct Waiter {
    bool running = false;
    bool done = false;
    bool released = false;
    int answer = 0;
  };

  void MenuChanged(const MenuModel& menu, const MenuChange& change) override;
  Dialog* Register(std::unique_ptr<Dialog> dialog);
  void Forget(Dialog* dialog);

  Clock& clock_;
  const std::thread::id uiThread_;
  TimerSet timers_;
  std::vector<std::unique_ptr<Dialog>> dialogs_;
  std::vector<PendingBox> boxes_;
  uint64_t nextBox_ = 1;
  StringSource strings_;
  std::unique_ptr<UiLog> log_;

  int trayIcon_ = 0;
  std::string trayTip_;
  std::function<void(TrayEvent)> trayHandler_;
  MenuModel* trayMenu_ = nullptr;
  std::function<void(int)> trayCommand_;

  mutable std::mutex waitMutex_;
  std::condition_variable waitCv_;
  std::set<std::shared_ptr<Waiter>> waiting_;
  bool shuttingDown_ = false;
};

}  // namespace platform::ui
