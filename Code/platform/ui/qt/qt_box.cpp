#include "platform/ui/qt/qt_box.h"

#include <QAbstractButton>
#include <vector>

#include "platform/ui/win32_ui.h"

namespace platform::ui {

namespace {

std::vector<QMessageBox::StandardButton> Buttons(uint32_t flags) {
  switch (flags & MB_TYPEMASK) {
    case MB_OKCANCEL: return {QMessageBox::Ok, QMessageBox::Cancel};
    case MB_ABORTRETRYIGNORE: return {QMessageBox::Abort, QMessageBox::Retry, QMessageBox::Ignore};
    case MB_YESNOCANCEL: return {QMessageBox::Yes, QMessageBox::No, QMessageBox::Cancel};
    case MB_YESNO: return {QMessageBox::Yes, QMessageBox::No};
    case MB_RETRYCANCEL: return {QMessageBox::Retry, QMessageBox::Cancel};
    default: return {QMessageBox::Ok};
  }
}

QMessageBox::Icon Icon(uint32_t flags) {
  switch (flags & MB_ICONMASK) {
    case MB_ICONERROR: return QMessageBox::Critical;
    case MB_ICONQUESTION: return QMessageBox::Question;
    case MB_ICONWARNING: return QMessageBox::Warning;
    case MB_ICONINFORMATION: return QMessageBox::Information;
    default: return QMessageBox::NoIcon;
  }
}

}  // namespace

QMessageBox* MakeMessageBox(const std::string& text, const std::string& caption, uint32_t flags, QWidget* parent,
                            const std::function<std::string(uint32_t id)>& loadString) {
  auto* box = new QMessageBox(Icon(flags), QString::fromStdString(caption), QString::fromStdString(text),
                              QMessageBox::NoButton, parent);
  const std::vector<QMessageBox::StandardButton> buttons = Buttons(flags);
  QMessageBox::StandardButtons all;
  for (auto b : buttons) all |= b;
  box->setStandardButtons(all);
  if (loadString) {
    for (auto b : buttons) {
      const std::string label = loadString(kBoxButtonTextBase + static_cast<uint32_t>(BoxAnswer(b)));
      if (!label.empty()) box->button(b)->setText(QString::fromStdString(label));
    }
  }
  const size_t defaultIndex = (flags & MB_DEFMASK) >> 8;
  if (defaultIndex < buttons.size()) box->setDefaultButton(buttons[defaultIndex]);
  // Esc gives the answer a box without Cancel gives on its own.
  if (buttons.size() == 1) box->setEscapeButton(buttons[0]);
  else if (all & QMessageBox::Cancel) box->setEscapeButton(QMessageBox::Cancel);
  box->setWindowModality(parent ? Qt::WindowModal : Qt::NonModal);
  if (flags & MB_TOPMOST) box->setWindowFlag(Qt::WindowStaysOnTopHint, true);
  return box;
}

int BoxAnswer(QMessageBox::StandardButton button) {
  switch (button) {
    case QMessageBox::Ok: return IDOK;
    case QMessageBox::Cancel: return IDCANCEL;
    case QMessageBox::Abort: return IDABORT;
    case QMessageBox::Retry: return IDRETRY;
    case QMessageBox::Ignore: return IDIGNORE;
    case QMessageBox::Yes: return IDYES;
    case QMessageBox::No: return IDNO;
    default: return IDCANCEL;
  }
}

}  // namespace platform::ui
