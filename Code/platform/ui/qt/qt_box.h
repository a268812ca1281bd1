// Message boxes as QMessageBox: MB_* buttons, icon, default button and
// topmost flag in, IDOK ... IDNO out.
#pragma once

#include <QMessageBox>
#include <functional>
#include <string>

#include <cstdint>
#include <string>

namespace platform::ui {

// A box window-modal to parent (none: blocks nothing); not shown yet.
// The string entry that names a box button in the UI language: the
// answer's id (IDOK, IDYES, ...) below kBoxButtonTextBase. A table without
// the entry keeps Qt's own text.
inline constexpr uint32_t kBoxButtonTextBase = 900000000;
QMessageBox* MakeMessageBox(const std::string& text, const std::string& caption, uint32_t flags, QWidget* parent,
                            const std::function<std::string(uint32_t id)>& loadString = {});
// The result for the button pressed.
int BoxAnswer(QMessageBox::StandardButton button);

}  // namespace platform::ui
