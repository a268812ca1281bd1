#include "platform/ui/qt/qt_host.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCursor>
#include <QIcon>
#include <QMenu>
#include <QMessageBox>
#include <QSystemTrayIcon>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

#include "platform/paths/paths.h"
#include "platform/ui/qt/qt_box.h"
#include "platform/ui/qt/qt_dialog_view.h"
#include "platform/ui/qt/qt_menu.h"
#include "platform/ui/win32_ui.h"

namespace platform::ui {

namespace {

// QApplication keeps argc and argv for its whole life.
int g_argc = 1;
std::string g_programPath;
char* g_argv[2] = {nullptr, nullptr};

}  // namespace

QtHost::QtHost(Clock& clock, std::string resourceDir)
    : HostBase(clock), resourceDir_(std::move(resourceDir)) {
  if (!QCoreApplication::instance()) {
    g_programPath = platform::paths::ModulePath();
    if (g_programPath.empty()) g_programPath = "vq";
    g_argv[0] = g_programPath.data();
    g_argc = 1;
    ownApp_ = std::make_unique<QApplication>(g_argc, g_argv);
  } else if (!qobject_cast<QApplication*>(QCoreApplication::instance())) {
    std::fprintf(stderr, "QtHost needs a QApplication, not a plain QCoreApplication\n");
    std::abort();
  }
  QApplication::setQuitOnLastWindowClosed(false);
  if (resourceDir_.empty()) resourceDir_ = platform::paths::ModuleDir() + "/res";
  context_ = std::make_unique<QObject>();
  timer_ = new QTimer(context_.get());
  timer_->setSingleShot(true);
  QObject::connect(timer_, &QTimer::timeout, context_.get(), [this] { FireTimers(); });
  clock.AddWaker(this);
}

QtHost::~QtHost() {
  clock().RemoveWaker(this);
  BeginShutdown();
  for (auto& [dialog, view] : views_)
    if (view) {
      view->Detach();
      delete view.data();
    }
  views_.clear();
  for (auto& [serial, box] : boxes_) delete box.data();
  boxes_.clear();
  delete popup_.data();
  tray_.reset();
  trayMenuWidget_.reset();
  context_.reset();
  // Deferred deletes of this host's widgets run before the application goes.
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void QtHost::Enqueue(std::function<void()> fn) {
  ++queued_;
  QMetaObject::invokeMethod(
      context_.get(),
      [this, fn = std::move(fn)] {
        --queued_;
        RunPosted(fn);
      },
      Qt::QueuedConnection);
}

void QtHost::ProcessEvents() {
  RequireUiThread("ProcessEvents");
  for (int round = 0; round < 1000; ++round) {
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    if (queued_ == 0) return;
  }
}

int QtHost::Run() {
  RequireUiThread("Run");
  return QApplication::exec();
}

void QtHost::Quit(int code) {
  if (!IsUiThread()) {
    Post([code] { QCoreApplication::exit(code); });
    return;
  }
  QCoreApplication::exit(code);
}

void QtHost::Wake() {
  // Any thread; the timers are looked at on the UI thread.
  ++queued_;
  QMetaObject::invokeMethod(
      context_.get(),
      [this] {
        --queued_;
        FireTimers();
      },
      Qt::QueuedConnection);
}

void QtHost::FireTimers() {
  if (ShuttingDown()) return;
  while (FireDueTimer()) {
  }
  TimersChanged();
}

void QtHost::TimersChanged() {
  auto due = NextTimerDue();
  if (!due) {
    timer_->stop();
    return;
  }
  const int64_t wait = std::max<int64_t>(0, *due - clock().NowMs());
  timer_->start(static_cast<int>(std::min<int64_t>(wait, INT32_MAX)));
}

QPixmap QtHost::Picture(int id) const {
  return QPixmap(QString::fromStdString(resourceDir_ + "/" + std::to_string(id) + ".png"));
}

QtDialogView* QtHost::View(const Dialog& dialog) const {
  auto it = views_.find(&dialog);
  return it == views_.end() ? nullptr : it->second.data();
}

void QtHost::ViewCreate(Dialog& dialog) {
  QWidget* parentWidget = nullptr;
  if (Dialog* parent = dialog.parent()) {
    if (QtDialogView* pv = View(*parent)) parentWidget = pv->PageArea(dialog.hostControlId());
  } else if (Dialog* owner = dialog.owner()) {
    // A page's view is not a window; the window it is in owns the dialog.
    if (QtDialogView* ov = View(*owner)) parentWidget = ov->window();
  }
  views_[&dialog] = new QtDialogView(*this, dialog, parentWidget);
}

void QtHost::ViewDestroy(Dialog& dialog) {
  auto it = views_.find(&dialog);
  if (it == views_.end()) return;
  if (QtDialogView* view = it->second.data()) {
    view->Detach();
    view->hide();
    view->deleteLater();  // a signal of one of its widgets may be running
  }
  views_.erase(it);
}

void QtHost::ViewBox(const PendingBox& box) {
  QWidget* parent = nullptr;
  if (box.owner && *box.owner)
    if (QtDialogView* ov = View(**box.owner)) parent = ov->window();
  QMessageBox* widget = MakeMessageBox(box.text.text, box.caption, box.flags, parent,
                                       [this](uint32_t id) { return LoadString(id); });
  widget->setObjectName(QStringLiteral("box%1").arg(box.serial));
  const uint64_t serial = box.serial;
  QObject::connect(widget, &QMessageBox::buttonClicked, context_.get(), [this, serial, widget](QAbstractButton* b) {
    const int answer = BoxAnswer(widget->standardButton(b));
    boxes_.erase(serial);
    widget->deleteLater();
    AnswerBox(serial, answer);
  });
  boxes_[serial] = widget;
  widget->show();  // window-modal to its owner, never exec()
  if (box.flags & MB_SETFOREGROUND) {
    widget->raise();
    widget->activateWindow();
  }
}

void QtHost::ViewDropBox(uint64_t serial) {
  auto it = boxes_.find(serial);
  if (it == boxes_.end()) return;
  if (QMessageBox* box = it->second.data()) {
    box->hide();
    box->deleteLater();
  }
  boxes_.erase(it);
}

QMessageBox* QtHost::BoxWidget(uint64_t serial) const {
  auto it = boxes_.find(serial);
  return it == boxes_.end() ? nullptr : it->second.data();
}

void QtHost::EnsureTray() {
  if (tray_) return;
  tray_ = std::make_unique<QSystemTrayIcon>();
  QObject::connect(tray_.get(), &QSystemTrayIcon::activated, context_.get(),
                   [this](QSystemTrayIcon::ActivationReason reason) {
                     switch (reason) {
                       case QSystemTrayIcon::Trigger: DeliverTrayEvent(TrayEvent::LeftDown); break;
                       case QSystemTrayIcon::Context: DeliverTrayEvent(TrayEvent::RightDown); break;
                       case QSystemTrayIcon::DoubleClick: DeliverTrayEvent(TrayEvent::DoubleClick); break;
                       default: break;
                     }
                   });
  QObject::connect(tray_.get(), &QSystemTrayIcon::messageClicked, context_.get(),
                   [this] { DeliverTrayEvent(TrayEvent::BalloonClick); });
  if (trayMenuWidget_) tray_->setContextMenu(trayMenuWidget_.get());
}

void QtHost::ViewTray() {
  if (TrayIconId() == 0) {
    if (tray_) tray_->hide();
    return;
  }
  EnsureTray();
  // Kept on the icon object even where no tray shows it (offscreen).
  tray_->setProperty("iconId", TrayIconId());
  tray_->setIcon(QIcon(Picture(TrayIconId())));
  tray_->setToolTip(QString::fromStdString(TrayTip()));
  if (QSystemTrayIcon::isSystemTrayAvailable()) tray_->show();
}

void QtHost::ViewBalloon(const std::string& title, const std::string& text, BalloonIcon icon) {
  if (!tray_ || !QSystemTrayIcon::isSystemTrayAvailable()) return;
  QSystemTrayIcon::MessageIcon qicon = QSystemTrayIcon::NoIcon;
  if (icon == BalloonIcon::Info) qicon = QSystemTrayIcon::Information;
  if (icon == BalloonIcon::Warning) qicon = QSystemTrayIcon::Warning;
  if (icon == BalloonIcon::Error) qicon = QSystemTrayIcon::Critical;
  tray_->showMessage(QString::fromStdString(title), QString::fromStdString(text), qicon);
}

void QtHost::ViewTrayMenu() {
  MenuModel* menu = TrayMenu();
  if (!menu) {
    if (tray_) tray_->setContextMenu(nullptr);
    trayMenuWidget_.reset();
    return;
  }
  if (!trayMenuWidget_) {
    trayMenuWidget_ = std::make_unique<QMenu>();
    trayMenuWidget_->setObjectName(QStringLiteral("menu%1").arg(menu->id()));
    if (tray_) tray_->setContextMenu(trayMenuWidget_.get());
  }
  FillMenu(*trayMenuWidget_, *menu, context_.get(), [this](int command) { ChooseTrayCommand(command); });
}

void QtHost::PopupMenu(const MenuModel& menu, Dialog* owner, std::function<void(int command)> onCommand) {
  RequireUiThread("PopupMenu");
  QWidget* parent = nullptr;
  if (owner)
    if (QtDialogView* ov = View(*owner)) parent = ov->window();
  delete popup_.data();
  auto* popup = new QMenu(parent);
  popup->setObjectName(QStringLiteral("menu%1").arg(menu.id()));
  popup->setAttribute(Qt::WA_DeleteOnClose);
  std::shared_ptr<Dialog*> token = owner ? owner->token() : nullptr;
  FillMenu(*popup, menu, popup, [token, onCommand = std::move(onCommand)](int command) {
    if (token && (!*token || (*token)->Ended())) return;
    if (onCommand) onCommand(command);
  });
  popup_ = popup;
  popup->popup(QCursor::pos());  // not exec(): no nested loop
}

bool QtHost::Screenshot(Dialog& dialog, const std::string& pngPath) {
  RequireUiThread("Screenshot");
  QtDialogView* view = View(dialog);
  if (!view) return false;
  QWidget* window = view->window();
  window->adjustSize();
  ProcessEvents();
  return window->grab().save(QString::fromStdString(pngPath), "PNG");
}

}  // namespace platform::ui
