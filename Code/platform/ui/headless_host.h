// The host without a screen: work runs on the thread that made the host,
// when that thread asks (RunUntilIdle, Advance, Run). Tests drive dialogs
// by control id and answer boxes; a program run with VQ_UI_SCRIPT=FILE
// takes its answers from the script (ui_script.h). Boxes and dialogs that
// nothing answered stay pending and can be listed.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/sync/clock.h"
#include "platform/ui/host_base.h"
#include "platform/ui/ui_script.h"

namespace platform::ui {

class HeadlessHost final : public HostBase {
 public:
  // Reads VQ_UI_SCRIPT when set (throws std::runtime_error when it is not
  // a script) and VQ_UI_LOG.
  explicit HeadlessHost(Clock& clock = SystemClock());
  // Advance() moves this clock.
  explicit HeadlessHost(FakeClock& clock);
  ~HeadlessHost() override;

  // Runs posted work and the timers due now until nothing is left.
  void RunUntilIdle();
  // Moves the fake clock ms forward, stopping at each timer's deadline in
  // order to fire it and run the work it caused.
  void Advance(int64_t ms);
  // Runs until Quit, waiting on the clock for work and timers; returns the
  // code given to Quit.
  int Run();
  void Quit(int code) override;

  bool Screenshot(Dialog&, const std::string&) override { return false; }
  void PopupMenu(const MenuModel& menu, Dialog* owner, std::function<void(int command)> onCommand) override;

  void SetScript(UiScript script) { script_ = std::move(script); }

  // Answers the first pending box with this text (any box: empty text).
  bool Answer(std::string_view text, int answer);
  // User input into the open dialog of a template (see Dialog::User*).
  bool Click(int templateId, int id);
  bool SetText(int templateId, int id, std::string_view text);
  bool Select(int templateId, int id, int index);
  bool SelectTree(int templateId, int id, TreeHandle item);
  bool Check(int templateId, int id, bool checked);
  bool Notify(int templateId, int id, int code, uint64_t data);
  bool Close(int templateId);  // Esc

  // The pop-up menu shown and not yet chosen from, if any.
  const MenuModel* OpenPopup() const { return popup_ ? &*popup_ : nullptr; }
  // Chooses from it (0: dismisses it); false when the item is absent or grayed.
  bool ChoosePopup(int command);

 protected:
  void Enqueue(std::function<void()> fn) override;
  void DropQueued() override;
  void ViewBox(const PendingBox& box) override;
  void AfterOpen(Dialog& dialog) override;

 private:
  bool RunOne();
  void RunScriptAction(std::shared_ptr<Dialog*> token, std::shared_ptr<std::deque<ScriptAction>> actions);

  FakeClock* fake_ = nullptr;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> queue_;
  bool quit_ = false;
  int quitCode_ = 0;
  std::optional<UiScript> script_;
  std::optional<MenuModel> popup_;
  std::function<void(int)> popupCommand_;
  std::shared_ptr<Dialog*> popupOwner_;
};

}  // namespace platform::ui
