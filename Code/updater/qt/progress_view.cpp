#include "updater/qt/progress_view.h"

#include <QApplication>
#include <QEvent>
#include <QListWidget>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QTimer>

#include "platform/ui/qt/qt_dialog_view.h"
#include "updater/progress_dialog.h"

namespace thimbleset {
namespace {

// Room for a line with a long file name and its time.
constexpr int kEventListMinWidth = 460;

class MinimiseRefuser final : public QObject {
 public:
  using QObject::QObject;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::WindowStateChange) {
      auto* window = static_cast<QWidget*>(watched);
      if (window->windowState() & Qt::WindowMinimized) {
        // After the change has been delivered, as the window manager expects.
        QTimer::singleShot(0, window, [window] {
          window->setWindowState(window->windowState() & ~Qt::WindowMinimized);
          window->showNormal();
        });
      }
    }
    return QObject::eventFilter(watched, event);
  }
};

QPixmap DrawIcon(int size) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  const qreal s = size;
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0x1f, 0x6f, 0xb5));
  p.drawEllipse(QRectF(s * 0.04, s * 0.04, s * 0.92, s * 0.92));
  // The arrow: a shaft and its head, over a tray line.
  p.setBrush(Qt::white);
  QPainterPath arrow;
  arrow.moveTo(s * 0.42, s * 0.20);
  arrow.lineTo(s * 0.58, s * 0.20);
  arrow.lineTo(s * 0.58, s * 0.48);
  arrow.lineTo(s * 0.72, s * 0.48);
  arrow.lineTo(s * 0.50, s * 0.70);
  arrow.lineTo(s * 0.28, s * 0.48);
  arrow.lineTo(s * 0.42, s * 0.48);
  arrow.closeSubpath();
  p.drawPath(arrow);
  p.drawRect(QRectF(s * 0.26, s * 0.76, s * 0.48, s * 0.07));
  return pixmap;
}

}  // namespace

QIcon ThimblesetIcon() {
  QIcon icon;
  for (int size : {16, 24, 32, 48, 64}) icon.addPixmap(DrawIcon(size));
  return icon;
}

void AdornProgressView(platform::ui::QtHost& host, platform::ui::Dialog& dialog) {
  platform::ui::QtDialogView* view = host.View(dialog);
  if (view == nullptr) return;
  const QIcon icon = ThimblesetIcon();
  QApplication::setWindowIcon(icon);
  view->setWindowIcon(icon);
  if (auto* list = view->findChild<QListWidget*>(QString::number(IDC_EVENT_LIST))) {
    list->setMinimumWidth(kEventListMinWidth);
    view->adjustSize();
  }
  const bool shown = view->isVisible();
  view->setWindowFlag(Qt::WindowMinimizeButtonHint, false);
  view->setWindowFlag(Qt::WindowMaximizeButtonHint, false);
  // Changing the flags hides a shown window.
  if (shown) view->show();
  view->installEventFilter(new MinimiseRefuser(view));
}

}  // namespace thimbleset
