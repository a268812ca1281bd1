#include "platform/ui/headless_host.h"

#include <cstdio>
#include <cstdlib>

namespace platform::ui {

namespace {

// How often a script's wait looks at its control again.
constexpr uint32_t kScriptWaitMs = 50;

std::optional<UiScript> ScriptFromEnvironment() {
  const char* path = std::getenv("VQ_UI_SCRIPT");
  if (!path || !*path) return std::nullopt;
  return UiScript::FromFile(path);
}

}  // namespace

HeadlessHost::HeadlessHost(Clock& clock) : HostBase(clock), script_(ScriptFromEnvironment()) {}

HeadlessHost::HeadlessHost(FakeClock& clock) : HostBase(clock), fake_(&clock), script_(ScriptFromEnvironment()) {}

HeadlessHost::~HeadlessHost() {
  BeginShutdown();
}

void HeadlessHost::Enqueue(std::function<void()> fn) {
  {
    std::lock_guard lock(mutex_);
    queue_.push_back(std::move(fn));
  }
  cv_.notify_all();
}

void HeadlessHost::DropQueued() {
  std::deque<std::function<void()>> dropped;
  {
    std::lock_guard lock(mutex_);
    dropped.swap(queue_);
  }
  cv_.notify_all();
}

bool HeadlessHost::RunOne() {
  std::function<void()> fn;
  {
    std::lock_guard lock(mutex_);
    if (queue_.empty()) return false;
    fn = std::move(queue_.front());
    queue_.pop_front();
  }
  RunPosted(fn);
  return true;
}

void HeadlessHost::RunUntilIdle() {
  RequireUiThread("RunUntilIdle");
  // Posted work first, as a message loop delivers it before timers.
  while (RunOne() || FireDueTimer()) {
  }
}

void HeadlessHost::Advance(int64_t ms) {
  RequireUiThread("Advance");
  if (!fake_) {
    std::fprintf(stderr, "HeadlessHost::Advance needs a FakeClock\n");
    std::abort();
  }
  const int64_t target = fake_->NowMs() + ms;
  RunUntilIdle();
  while (true) {
    auto due = NextTimerDue();
    if (!due || *due > target) break;
    if (*due > fake_->NowMs()) fake_->Advance(*due - fake_->NowMs());
    RunUntilIdle();
  }
  if (target > fake_->NowMs()) fake_->Advance(target - fake_->NowMs());
  RunUntilIdle();
}

int HeadlessHost::Run() {
  RequireUiThread("Run");
  while (true) {
    RunUntilIdle();
    std::unique_lock lock(mutex_);
    if (quit_) return quitCode_;
    if (!queue_.empty()) continue;
    const auto due = NextTimerDue();
    clock().WaitUntil(lock, cv_, due ? *due : INT64_MAX);
  }
}

void HeadlessHost::Quit(int code) {
  {
    std::lock_guard lock(mutex_);
    quit_ = true;
    quitCode_ = code;
  }
  cv_.notify_all();
}

void HeadlessHost::ViewBox(const PendingBox& box) {
  if (!script_) return;
  if (auto answer = script_->AnswerFor(box.text)) {
    const uint64_t serial = box.serial;
    // Answered after the caller returns, as a person would.
    Post([this, serial, a = *answer] { AnswerBox(serial, a); });
  }
}

void HeadlessHost::AfterOpen(Dialog& dialog) {
  if (!script_) return;
  auto actions = std::make_shared<std::deque<ScriptAction>>();
  for (ScriptAction& a : script_->ActionsFor(dialog.templateId())) actions->push_back(std::move(a));
  if (!actions->empty()) RunScriptAction(dialog.token(), std::move(actions));
}

void HeadlessHost::RunScriptAction(std::shared_ptr<Dialog*> token, std::shared_ptr<std::deque<ScriptAction>> actions) {
  // One action a post, so that what an action caused (a box and its
  // scripted answer) runs before the next one, as with a person.
  Post([this, token, actions] {
    Dialog* d = *token;
    if (!d || d->Ended() || actions->empty()) return;
    if (actions->front().kind == ScriptAction::Wait && !d->Accepts(actions->front().control)) {
      // Looked at again on the host's clock, so the work it waits for runs.
      auto timer = std::make_shared<uint64_t>(0);
      *timer = StartTimer(kScriptWaitMs, [this, token, actions, timer] {
        StopTimer(*timer);
        RunScriptAction(token, actions);
      });
      return;
    }
    const ScriptAction a = std::move(actions->front());
    actions->pop_front();
    switch (a.kind) {
      case ScriptAction::Wait: break;
      case ScriptAction::End: d->EndDialog(a.value); break;
      case ScriptAction::Click: d->UserClick(a.control); break;
      case ScriptAction::Text: d->UserEdit(a.control, a.text); break;
      case ScriptAction::Check: d->UserCheck(a.control, a.value != 0); break;
      case ScriptAction::Select: d->UserSelect(a.control, a.value); break;
    }
    if (!actions->empty()) RunScriptAction(token, actions);
  });
}

bool HeadlessHost::Answer(std::string_view text, int answer) {
  for (const PendingBox& box : PendingBoxes())
    if (text.empty() || box.text.text == text) return AnswerBox(box.serial, answer);
  return false;
}

bool HeadlessHost::Click(int templateId, int id) {
  Dialog* d = FindDialog(templateId);
  return d && d->UserClick(id);
}

bool HeadlessHost::SetText(int templateId, int id, std::string_view text) {
  Dialog* d = FindDialog(templateId);
  return d && d->UserEdit(id, text);
}

bool HeadlessHost::Select(int templateId, int id, int index) {
  Dialog* d = FindDialog(templateId);
  return d && d->UserSelect(id, index);
}

bool HeadlessHost::SelectTree(int templateId, int id, TreeHandle item) {
  Dialog* d = FindDialog(templateId);
  return d && d->UserSelectTree(id, item);
}

bool HeadlessHost::Check(int templateId, int id, bool checked) {
  Dialog* d = FindDialog(templateId);
  return d && d->UserCheck(id, checked);
}

bool HeadlessHost::Notify(int templateId, int id, int code, uint64_t data) {
  Dialog* d = FindDialog(templateId);
  return d && d->UserNotify(id, code, data);
}

bool HeadlessHost::Close(int templateId) {
  Dialog* d = FindDialog(templateId);
  return d && d->UserClose();
}

void HeadlessHost::PopupMenu(const MenuModel& menu, Dialog* owner, std::function<void(int command)> onCommand) {
  RequireUiThread("PopupMenu");
  popup_.emplace(menu.id());
  for (size_t i = 0; i < menu.size(); ++i) {
    const MenuItem& item = menu.items()[i];
    if (item.separator) {
      popup_->AppendSeparator();
    } else {
      popup_->Append(item.command, item.text);
      popup_->SetGrayed(item.command, item.grayed);
      popup_->SetChecked(item.command, item.checked);
    }
  }
  popupCommand_ = std::move(onCommand);
  popupOwner_ = owner ? owner->token() : nullptr;
}

bool HeadlessHost::ChoosePopup(int command) {
  RequireUiThread("ChoosePopup");
  if (!popup_) return false;
  if (command != 0 && (!popup_->Has(command) || popup_->IsGrayed(command))) return false;
  auto onCommand = std::move(popupCommand_);
  auto owner = std::move(popupOwner_);
  popup_.reset();
  if (command == 0 || (owner && (!*owner || (*owner)->Ended()))) return true;
  if (onCommand) onCommand(command);
  return true;
}

}  // namespace platform::ui
