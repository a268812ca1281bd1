// The user-interface host: the one way logic reaches the screen. Abstract,
// so that a library loaded with dlopen works with its container's host.
//
// Threads: everything here runs on the UI thread except Post, Send,
// MessageBoxWait, DialogWait, BeginShutdown and IsUiThread, which any
// thread may call.
// A worker never touches a dialog or a menu; it posts a function that does.
// No call runs a nested event loop: a modal dialog or box blocks only its
// owner, and its result goes to a continuation.
//
// BeginShutdown releases every thread waiting in Send (false),
// MessageBoxWait or DialogWait (IDCANCEL) at once; from then on nothing posted runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>

#include "platform/sync/clock.h"
#include "platform/ui/control_spec.h"
#include "platform/ui/dialog_logic.h"
#include "platform/ui/menu_model.h"

namespace platform::ui {

class Dialog;

enum class Modality { Modal, Modeless };

enum class TrayEvent {
  LeftDown,
  RightDown,
  DoubleClick,
  BalloonClick,
  TrayAvailableAgain,  // the shell's tray came back ("TaskbarCreated")
};

enum class BalloonIcon { None, Info, Warning, Error };

// A text with the string entry it came from (0: none), so that a script
// can answer a box by either.
struct BoxText {
  BoxText() = default;
  BoxText(std::string t, uint32_t id = 0) : text(std::move(t)), stringId(id) {}
  BoxText(const char* t) : text(t) {}
  std::string text;
  uint32_t stringId = 0;
};

// The string table of the user's language: nullptr when it has no entry.
using StringSource = std::function<const std::string*(uint32_t id)>;

// Called (posted, on the UI thread) once a dialog has ended; the dialog is
// still readable then and freed right after.
using DialogEnd = std::function<void(Dialog& dialog, int result)>;

class UiHost {
 public:
  virtual ~UiHost() = default;

  // Any thread. Functions run on the UI thread in the order posted. False
  // (and fn dropped) once BeginShutdown ran.
  virtual bool Post(std::function<void()> fn) = 0;
  // Runs fn on the UI thread and returns when it ran (true) or was released
  // by BeginShutdown without running (false). Inline on the UI thread.
  virtual bool Send(std::function<void()> fn) = 0;
  virtual bool IsUiThread() const = 0;
  virtual Clock& clock() = 0;

  // Periodic timers on the host's clock; the next period counts from each
  // tick. A stopped timer never ticks again, even when it was due.
  virtual uint64_t StartTimer(uint32_t periodMs, std::function<void()> onTick) = 0;
  virtual bool StopTimer(uint64_t timer) = 0;

  // A box with MB_* flags; onResult gets IDOK ... IDNO. With an owner, the
  // owner takes no input until the box is answered.
  virtual void MessageBox(Dialog* owner, BoxText text, std::string caption, uint32_t flags,
                          std::function<void(int)> onResult) = 0;
  // Worker threads only: shows a box without owner and waits for the
  // answer. IDCANCEL at once on the UI thread (it would wait for itself).
  virtual int MessageBoxWait(BoxText text, std::string caption, uint32_t flags) = 0;

  // Worker threads only: opens a modal dialog without owner and waits until
  // it ended, for its result; onEnd runs on the UI thread before the wait
  // returns, with the dialog still readable. IDCANCEL at once on the UI
  // thread, and when BeginShutdown releases the wait: onEnd may then still
  // run later or never, so it must own whatever it touches.
  virtual int DialogWait(const DialogTemplate& templ, std::unique_ptr<DialogLogic> logic,
                         DialogEnd onEnd = {}) = 0;
  // Opens a dialog; its texts come from the string entries of the template.
  // Modal blocks the owner (if any) until the dialog ends. Returns the
  // dialog, which may have ended already in OnInit; nullptr after
  // BeginShutdown.
  virtual Dialog* OpenDialog(const DialogTemplate& templ, Dialog* owner, std::unique_ptr<DialogLogic> logic,
                             Modality modality, DialogEnd onEnd = {}) = 0;
  // A child page inside parent's tab strip or frame hostControlId; starts
  // hidden and ends with its parent.
  virtual Dialog* OpenPage(Dialog& parent, const DialogTemplate& templ, std::unique_ptr<DialogLogic> logic,
                           int hostControlId) = 0;
  // This process's open dialog (or page) of that template, else nullptr.
  virtual Dialog* FindDialog(int templateId) = 0;
  virtual void CloseDialog(Dialog& dialog, int result) = 0;

  // The tray icon (res/<iconId>.png) with its tip; added on first use.
  virtual void SetTrayIcon(int iconId, std::string tip) = 0;
  virtual void ShowBalloon(std::string title, std::string text, BalloonIcon icon) = 0;
  virtual void RemoveTrayIcon() = 0;
  virtual void SetTrayHandler(std::function<void(TrayEvent)> handler) = 0;
  // The menu of the tray icon; the host watches it for changes. The menu
  // must outlive the host or be replaced first (nullptr removes it).
  virtual void SetTrayMenu(MenuModel* menu, std::function<void(int command)> onCommand) = 0;
  // A menu at the pointer; onCommand runs when an item is chosen.
  virtual void PopupMenu(const MenuModel& menu, Dialog* owner, std::function<void(int command)> onCommand) = 0;

  virtual void SetStrings(StringSource strings) = 0;
  // The text of a string entry cut to maxUnits UTF-16 units (0: whole),
  // never inside a character; "" when the table has none.
  virtual std::string LoadString(uint32_t id, size_t maxUnits = 0) = 0;

  // A picture of the dialog as it looks now; false where nothing is drawn.
  virtual bool Screenshot(Dialog& dialog, const std::string& pngPath) = 0;

  virtual void BeginShutdown() = 0;
  // Ends the host's run with that code.
  virtual void Quit(int code) = 0;

  // Helpers built on the calls above.
  BoxText String(uint32_t id) { return BoxText(LoadString(id), id); }
  // Any thread: message to the open dialog of that template, if any.
  bool PostToDialog(int templateId, uint32_t message, uintptr_t wParam = 0, intptr_t lParam = 0);
  // A menu with the given commands (0: separator), texts from its entries.
  MenuModel LoadMenu(int menuId, std::initializer_list<int> commands);
};

}  // namespace platform::ui
