// A MenuModel drawn into a QMenu: one QAction per item, objectName and
// data = its command id.
#pragma once

#include <QMenu>

#include <functional>

#include "platform/ui/menu_model.h"

namespace platform::ui {

// Replaces the menu's actions; a triggered action calls onCommand(command)
// (through context, which must outlive the menu's use).
void FillMenu(QMenu& menu, const MenuModel& model, QObject* context, std::function<void(int)> onCommand);

}  // namespace platform::ui
