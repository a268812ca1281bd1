#include "platform/ui/qt/qt_menu.h"

#include <QAction>

namespace platform::ui {

void FillMenu(QMenu& menu, const MenuModel& model, QObject* context, std::function<void(int)> onCommand) {
  for (QAction* old : menu.actions()) {
    // Later, since this may run inside the old action's own signal.
    menu.removeAction(old);
    old->setParent(nullptr);
    old->deleteLater();
  }
  auto shared = std::make_shared<std::function<void(int)>>(std::move(onCommand));
  for (const MenuItem& item : model.items()) {
    if (item.separator) {
      menu.addSeparator();
      continue;
    }
    QAction* action = menu.addAction(QString::fromStdString(item.text));
    action->setObjectName(QString::number(item.command));
    action->setData(item.command);
    action->setEnabled(!item.grayed);
    action->setCheckable(item.checked);
    action->setChecked(item.checked);
    const int command = item.command;
    QObject::connect(action, &QAction::triggered, context, [shared, command] { (*shared)(command); });
  }
}

}  // namespace platform::ui
