// The host that shows dialogs, boxes and the tray as Qt 6 widgets.
//
// Uses the running QApplication, or makes one from the program's path alone
// (never from the command line, which belongs to the program); windows
// closing never quits it. Everything Qt is made and touched on the thread
// that made the host. Boxes and modal dialogs are window-modal to their
// owner and shown without exec(), so no event loop is nested and the tray
// menu keeps working while one is open. Pictures and icons are
// <resource folder>/<id>.png (default: res/ beside the program).
#pragma once

#include <QMenu>
#include <QMessageBox>
#include <QPixmap>
#include <QPointer>

#include <atomic>
#include <map>
#include <memory>
#include <string>

#include "platform/ui/host_base.h"

class QApplication;

class QObject;
class QSystemTrayIcon;
class QTimer;

namespace platform::ui {

class QtDialogView;

class QtHost final : public HostBase, private ClockWaker {
 public:
  explicit QtHost(Clock& clock = SystemClock(), std::string resourceDir = {});
  ~QtHost() override;

  // The event loop, until Quit; returns its code.
  int Run();
  void Quit(int code) override;

  bool Screenshot(Dialog& dialog, const std::string& pngPath) override;
  void PopupMenu(const MenuModel& menu, Dialog* owner, std::function<void(int command)> onCommand) override;

  // Delivers Qt's queued events, this host's posts among them, until none
  // is left (tests; a program runs Run()).
  void ProcessEvents();

  QPixmap Picture(int id) const;
  QtDialogView* View(const Dialog& dialog) const;
  QSystemTrayIcon* TrayIcon() const { return tray_.get(); }
  QMenu* TrayMenuWidget() const { return trayMenuWidget_.get(); }
  QMessageBox* BoxWidget(uint64_t serial) const;
  QMenu* PopupWidget() const { return popup_; }

  void RequireUiThreadFor(const char* what) const { RequireUiThread(what); }

 protected:
  void Enqueue(std::function<void()> fn) override;
  void TimersChanged() override;
  void ViewCreate(Dialog& dialog) override;
  void ViewDestroy(Dialog& dialog) override;
  void ViewBox(const PendingBox& box) override;
  void ViewDropBox(uint64_t serial) override;
  void ViewTray() override;
  void ViewBalloon(const std::string& title, const std::string& text, BalloonIcon icon) override;
  void ViewTrayMenu() override;

 private:
  void Wake() override;  // the clock moved: timers may be due
  void FireTimers();
  void EnsureTray();

  std::unique_ptr<QApplication> ownApp_;  // first in, last out
  std::string resourceDir_;
  std::unique_ptr<QObject> context_;      // receives the posts
  QTimer* timer_ = nullptr;               // child of context_
  std::atomic<int> queued_{0};
  std::map<const Dialog*, QPointer<QtDialogView>> views_;
  std::map<uint64_t, QPointer<QMessageBox>> boxes_;
  std::unique_ptr<QSystemTrayIcon> tray_;
  std::unique_ptr<QMenu> trayMenuWidget_;
  QPointer<QMenu> popup_;
};

}  // namespace platform::ui
