#include "platform/ui/host_base.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "platform/text/utf16.h"
#include "platform/ui/win32_ui.h"

namespace platform::ui {

namespace {

const char* BalloonIconName(BalloonIcon icon) {
  switch (icon) {
    case BalloonIcon::Info: return "info";
    case BalloonIcon::Warning: return "warning";
    case BalloonIcon::Error: return "error";
    default: return "none";
  }
}

const char* MenuChangeName(MenuChangeKind kind) {
  switch (kind) {
    case MenuChangeKind::Insert: return "insert";
    case MenuChangeKind::Remove: return "remove";
    case MenuChangeKind::Gray: return "gray";
    case MenuChangeKind::Check: return "check";
    default: return "text";
  }
}

}  // namespace

bool UiHost::PostToDialog(int templateId, uint32_t message, uintptr_t wParam, intptr_t lParam) {
  return Post([this, templateId, message, wParam, lParam] {
    if (Dialog* d = FindDialog(templateId)) d->SendMessage(message, wParam, lParam);
  });
}

MenuModel UiHost::LoadMenu(int menuId, std::initializer_list<int> commands) {
  MenuModel menu(menuId);
  for (int command : commands) {
    if (command == 0)
      menu.AppendSeparator();
    else
      menu.Append(command, LoadString(StringEntryId(menuId, command)));
  }
  return menu;
}

HostBase::HostBase(Clock& clock)
    : clock_(clock), uiThread_(std::this_thread::get_id()), log_(UiLog::FromEnvironment()) {}

HostBase::~HostBase() {
  if (trayMenu_) trayMenu_->SetObserver(nullptr);
  // Dialogs go before the timers and boxes they may name.
  for (auto& d : dialogs_) d->SetObserver(nullptr);
  dialogs_.clear();
}

void HostBase::RequireUiThread(const char* what) const {
  if (IsUiThread()) return;
  // Touching windows from another thread is undefined behaviour in Qt; a
  // worker must post instead. Stop where the mistake is.
  std::fprintf(stderr, "UiHost::%s called off the UI thread\n", what);
  std::abort();
}

void HostBase::SetLogFile(const std::string& path) { log_ = std::make_unique<UiLog>(path); }

JsonLine HostBase::LogLine(std::string_view event) const {
  JsonLine line(event);
  line.Add("ms", clock_.NowMs());
  return line;
}

void HostBase::Log(const JsonLine& line) {
  if (log_) log_->Write(line);
}

bool HostBase::ShuttingDown() const {
  std::lock_guard lock(waitMutex_);
  return shuttingDown_;
}

bool HostBase::Post(std::function<void()> fn) {
  // Enqueued under the lock, so once BeginShutdown returned no post is
  // still on its way into a queue that is going away.
  std::lock_guard lock(waitMutex_);
  if (shuttingDown_) return false;
  Enqueue(std::move(fn));
  return true;
}

void HostBase::RunPosted(const std::function<void()>& fn) {
  if (!ShuttingDown()) fn();
}

bool HostBase::Send(std::function<void()> fn) {
  if (IsUiThread()) {
    if (ShuttingDown()) return false;
    fn();
    return true;
  }
  auto waiter = std::make_shared<Waiter>();
  std::unique_lock lock(waitMutex_);
  if (shuttingDown_) return false;
  waiting_.insert(waiter);
  Enqueue([this, waiter, fn = std::move(fn)] {
    {
      std::lock_guard lock(waitMutex_);
      if (waiter->released) return;
      waiter->running = true;
    }
    fn();
    {
      std::lock_guard lock(waitMutex_);
      waiter->done = true;
    }
    waitCv_.notify_all();
  });
  waitCv_.wait(lock, [&] { return waiter->done || waiter->released; });
  waiting_.erase(waiter);
  return waiter->done;
}

int HostBase::MessageBoxWait(BoxText text, std::string caption, uint32_t flags) {
  if (IsUiThread()) return IDCANCEL;
  auto waiter = std::make_shared<Waiter>();
  std::unique_lock lock(waitMutex_);
  if (shuttingDown_) return IDCANCEL;
  waiting_.insert(waiter);
  // The box is shown by the UI thread; the waiter is never "running" since
  // only its answer is awaited, so shutdown can always release it.
  Enqueue([this, waiter, text = std::move(text), caption = std::move(caption), flags]() mutable {
    {
      std::lock_guard lock(waitMutex_);
      if (waiter->released) return;
    }
    MessageBox(nullptr, std::move(text), std::move(caption), flags, [this, waiter](int answer) {
      {
        std::lock_guard lock(waitMutex_);
        waiter->answer = answer;
        waiter->done = true;
      }
      waitCv_.notify_all();
    });
  });
  waitCv_.wait(lock, [&] { return waiter->done || waiter->released; });
  waiting_.erase(waiter);
  return waiter->done ? waiter->answer : IDCANCEL;
}

int HostBase::DialogWait(const DialogTemplate& templ, std::unique_ptr<DialogLogic> logic, DialogEnd onEnd) {
  if (IsUiThread()) return IDCANCEL;
  auto waiter = std::make_shared<Waiter>();
  auto owned = std::make_shared<std::unique_ptr<DialogLogic>>(std::move(logic));
  std::unique_lock lock(waitMutex_);
  if (shuttingDown_) return IDCANCEL;
  waiting_.insert(waiter);
  // As with boxes, only the end is awaited, so shutdown can always release.
  Enqueue([this, waiter, &templ, owned, onEnd = std::move(onEnd)]() mutable {
    {
      std::lock_guard lock(waitMutex_);
      if (waiter->released) return;
    }
    OpenDialog(templ, nullptr, std::move(*owned), Modality::Modal,
               [this, waiter, onEnd = std::move(onEnd)](Dialog& dialog, int result) {
                 if (onEnd) onEnd(dialog, result);
                 {
                   std::lock_guard lock(waitMutex_);
                   waiter->answer = result;
                   waiter->done = true;
                 }
                 waitCv_.notify_all();
               });
  });
  waitCv_.wait(lock, [&] { return waiter->done || waiter->released; });
  waiting_.erase(waiter);
  return waiter->done ? waiter->answer : IDCANCEL;
}

void HostBase::BeginShutdown() {
  {
    std::lock_guard lock(waitMutex_);
    shuttingDown_ = true;
    for (const auto& w : waiting_)
      if (!w->running) w->released = true;
  }
  waitCv_.notify_all();
  DropQueued();
}

uint64_t HostBase::StartTimer(uint32_t periodMs, std::function<void()> onTick) {
  RequireUiThread("StartTimer");
  const uint64_t handle = timers_.Start(clock_.NowMs(), periodMs, std::move(onTick));
  TimersChanged();
  return handle;
}

bool HostBase::StopTimer(uint64_t timer) {
  RequireUiThread("StopTimer");
  const bool stopped = timers_.Stop(timer);
  if (stopped) TimersChanged();
  return stopped;
}

void HostBase::MessageBox(Dialog* owner, BoxText text, std::string caption, uint32_t flags,
                          std::function<void(int)> onResult) {
  RequireUiThread("MessageBox");
  PendingBox box;
  box.serial = nextBox_++;
  if (owner) {
    box.owner = owner->token();
    box.ownerTemplate = owner->templateId();
    owner->BeginBlock();
  }
  box.text = std::move(text);
  box.caption = std::move(caption);
  box.flags = flags;
  box.onResult = std::move(onResult);
  Log(LogLine("box")
          .Add("owner", box.ownerTemplate)
          .Add("text", box.text.text)
          .Add("string", box.text.stringId)
          .Add("caption", box.caption)
          .Add("flags", static_cast<int64_t>(flags)));
  boxes_.push_back(std::move(box));
  ViewBox(boxes_.back());
}

bool HostBase::AnswerBox(uint64_t serial, int answer) {
  RequireUiThread("AnswerBox");
  auto it = std::find_if(boxes_.begin(), boxes_.end(), [&](const PendingBox& b) { return b.serial == serial; });
  if (it == boxes_.end()) return false;
  PendingBox box = std::move(*it);
  boxes_.erase(it);
  Log(LogLine("box_answer").Add("text", box.text.text).Add("answer", answer));
  if (box.owner) {
    Dialog* owner = *box.owner;
    if (!owner || owner->Ended()) return true;  // went with its owner
    owner->EndBlock();
  }
  if (box.onResult) box.onResult(answer);
  return true;
}

Dialog* HostBase::Register(std::unique_ptr<Dialog> dialog) {
  Dialog* d = dialog.get();
  dialogs_.push_back(std::move(dialog));
  d->SetCaption(LoadString(StringEntryId(d->templateId(), 0)));
  for (const ControlSpec& c : d->templ().controls) {
    const std::string text = LoadString(StringEntryId(d->templateId(), c.id));
    if (!text.empty()) d->SetText(c.id, text);
  }
  return d;
}

Dialog* HostBase::OpenDialog(const DialogTemplate& templ, Dialog* owner, std::unique_ptr<DialogLogic> logic,
                             Modality modality, DialogEnd onEnd) {
  RequireUiThread("OpenDialog");
  if (ShuttingDown()) return nullptr;
  Dialog* d = Register(std::make_unique<Dialog>(*this, templ, std::move(logic), owner, modality, nullptr, 0,
                                                std::move(onEnd)));
  if (modality == Modality::Modal && owner) owner->BeginBlock();
  Log(LogLine("dialog_open")
          .Add("template", templ.id)
          .Add("owner", owner ? owner->templateId() : 0)
          .Add("modal", modality == Modality::Modal));
  ViewCreate(*d);
  d->RunInit();
  if (!d->Ended()) AfterOpen(*d);
  return d;
}

Dialog* HostBase::OpenPage(Dialog& parent, const DialogTemplate& templ, std::unique_ptr<DialogLogic> logic,
                           int hostControlId) {
  RequireUiThread("OpenPage");
  if (ShuttingDown() || parent.Ended()) return nullptr;
  Dialog* d = Register(std::make_unique<Dialog>(*this, templ, std::move(logic), nullptr, Modality::Modeless,
                                                &parent, hostControlId, DialogEnd{}));
  parent.AddPage(d);
  ViewCreate(*d);
  d->RunInit();
  return d;
}

Dialog* HostBase::FindDialog(int templateId) {
  RequireUiThread("FindDialog");
  for (auto& d : dialogs_)
    if (d->templateId() == templateId && !d->Ended()) return d.get();
  return nullptr;
}

std::vector<Dialog*> HostBase::OpenDialogs() const {
  std::vector<Dialog*> out;
  for (const auto& d : dialogs_)
    if (!d->Ended()) out.push_back(d.get());
  return out;
}

void HostBase::CloseDialog(Dialog& dialog, int result) {
  RequireUiThread("CloseDialog");
  if (dialog.Ended()) return;
  for (Dialog* page : dialog.pages()) CloseDialog(*page, 0);
  dialog.MarkEnded(result);
  if (dialog.modality() == Modality::Modal && dialog.owner()) dialog.owner()->EndBlock();
  // Its boxes go with it, unanswered.
  for (auto it = boxes_.begin(); it != boxes_.end();) {
    if (it->owner && *it->owner == &dialog) {
      ViewDropBox(it->serial);
      it = boxes_.erase(it);
    } else {
      ++it;
    }
  }
  if (!dialog.parent()) Log(LogLine("dialog_end").Add("template", dialog.templateId()).Add("result", result));
  ViewDestroy(dialog);
  if (dialog.parent()) return;  // freed with its parent
  // The continuation and the freeing run after the handler that ended it.
  std::shared_ptr<Dialog*> token = dialog.token();
  Post([this, token] {
    Dialog* d = *token;
    if (!d) return;
    if (DialogEnd onEnd = d->TakeOnEnd()) onEnd(*d, d->Result());
    Forget(d);
  });
}

void HostBase::Forget(Dialog* dialog) {
  std::vector<Dialog*> doomed{dialog};
  for (size_t i = 0; i < doomed.size(); ++i)
    for (Dialog* page : doomed[i]->pages()) doomed.push_back(page);
  dialogs_.erase(std::remove_if(dialogs_.begin(), dialogs_.end(),
                                [&](const std::unique_ptr<Dialog>& d) {
                                  return std::find(doomed.begin(), doomed.end(), d.get()) != doomed.end();
                                }),
                 dialogs_.end());
}

void HostBase::SetTrayIcon(int iconId, std::string tip) {
  RequireUiThread("SetTrayIcon");
  if (iconId == trayIcon_ && tip == trayTip_) return;
  trayIcon_ = iconId;
  trayTip_ = std::move(tip);
  Log(LogLine("tray").Add("icon", trayIcon_).Add("tip", trayTip_));
  ViewTray();
}

void HostBase::ShowBalloon(std::string title, std::string text, BalloonIcon icon) {
  RequireUiThread("ShowBalloon");
  Log(LogLine("balloon").Add("title", title).Add("text", text).Add("icon", BalloonIconName(icon)));
  ViewBalloon(title, text, icon);
}

void HostBase::RemoveTrayIcon() {
  RequireUiThread("RemoveTrayIcon");
  if (trayIcon_ == 0) return;
  trayIcon_ = 0;
  trayTip_.clear();
  Log(LogLine("tray_remove"));
  ViewTray();
}

void HostBase::SetTrayMenu(MenuModel* menu, std::function<void(int command)> onCommand) {
  RequireUiThread("SetTrayMenu");
  if (trayMenu_) trayMenu_->SetObserver(nullptr);
  trayMenu_ = menu;
  trayCommand_ = std::move(onCommand);
  if (trayMenu_) trayMenu_->SetObserver(this);
  ViewTrayMenu();
}

void HostBase::MenuChanged(const MenuModel& menu, const MenuChange& change) {
  RequireUiThread("MenuModel change");
  JsonLine line = LogLine("menu");
  line.Add("menu", menu.id()).Add("change", MenuChangeName(change.kind)).Add("command", change.command);
  line.Add("position", change.position);
  if (change.kind == MenuChangeKind::Gray) line.Add("grayed", change.value);
  if (change.kind == MenuChangeKind::Check) line.Add("checked", change.value);
  Log(line);
  ViewTrayMenu();
}

void HostBase::DeliverTrayEvent(TrayEvent event) {
  RequireUiThread("DeliverTrayEvent");
  if (trayHandler_) trayHandler_(event);
}

bool HostBase::ChooseTrayCommand(int command) {
  RequireUiThread("ChooseTrayCommand");
  if (!trayMenu_ || !trayMenu_->Has(command) || trayMenu_->IsGrayed(command)) return false;
  if (trayCommand_) trayCommand_(command);
  return true;
}

std::string HostBase::LoadString(uint32_t id, size_t maxUnits) {
  const std::string* text = strings_ ? strings_(id) : nullptr;
  if (!text) return {};
  return maxUnits ? CutUtf8ToUnits(*text, maxUnits) : *text;
}

}  // namespace platform::ui
