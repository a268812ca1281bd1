// Message boxes as QMessageBox: MB_* buttons, icon, default button and
// topmost flag in, IDOK ... IDNO out.
#pragma once

#include <QMessageBox>

#include <cstdint>
#include <string>

namespace platform::ui {

// A box window-modal to parent (none: blocks nothing); not shown yet.
QMessageBox* MakeMessageBox(const std::string& text, const std::string& caption, uint32_t flags, QWidget* parent);
// The result for the button pressed.
int BoxAnswer(QMessageBox::StandardButton button);

}  // namespace platform::ui
