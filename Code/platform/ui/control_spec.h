// Control tables: a dialog template is its id and its controls in tab
// order, each placed in a grid cell. Texts are never part of a table: the
// text of control C of template T is string entry StringEntryId(T, C), the
// caption StringEntryId(T, 0), so every language is a string table.
#pragma once

#include <cstdint>
#include <vector>

namespace platform::ui {

enum class ControlKind {
  Label,
  Edit,
  Button,
  CheckBox,
  Radio,
  GroupBox,
  Frame,
  Combo,
  ListBox,
  ListView,
  TreeView,
  TabStrip,
  Picture,
  ProgressBar,
};

// Style bits of a control.
inline constexpr uint32_t kPassword = 0x01;       // edit: shows no text
inline constexpr uint32_t kMultiLine = 0x02;      // edit; label: breaks into lines
inline constexpr uint32_t kReadOnly = 0x04;       // edit
inline constexpr uint32_t kNumber = 0x08;         // edit: digits only
inline constexpr uint32_t kDefaultButton = 0x10;  // button: Enter presses it
inline constexpr uint32_t kGroupStart = 0x20;     // radio: starts a new group
inline constexpr uint32_t kEditableCombo = 0x40;  // combo: has an edit field

// A control without an id of its own (a static label) gets one from here
// on, in table order.
inline constexpr int kNoControlId = -1;
inline constexpr int kFirstLabelId = 60000;

// The string entry of a template's control or a menu's command (caption: 0).
constexpr uint32_t StringEntryId(int resourceId, int controlId) {
  return 1000000u * static_cast<uint32_t>(resourceId) + static_cast<uint32_t>(controlId);
}

struct ColumnSpec {
  uint32_t textId = 0;  // string entry of the header
  int width = 100;      // pixels
};

struct ControlSpec {
  int id = kNoControlId;
  ControlKind kind = ControlKind::Label;
  int row = 0;
  int col = 0;
  int rowSpan = 1;
  int colSpan = 1;
  uint32_t style = 0;
  std::vector<ColumnSpec> columns = {};  // list view
  int pictureId = 0;                // picture: res/<id>.png
};

struct DialogTemplate {
  // Gives id-less controls their ids; a duplicate id throws
  // std::invalid_argument (a table is fixed data, so that is a bug).
  DialogTemplate(int id, std::vector<ControlSpec> controls, bool topmost = false, bool childPage = false);

  const ControlSpec* Find(int controlId) const;

  int id;
  bool topmost;
  bool childPage;  // a page shown inside another dialog's tab strip or frame
  std::vector<ControlSpec> controls;  // in tab order
};

}  // namespace platform::ui
