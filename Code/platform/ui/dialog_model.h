// The state of one dialog's controls, keyed by control id: what a window
// shows, kept apart from any widget so that logic runs and is tested
// without one. UI thread only.
//
// Setters return false (and change nothing) for an id the template does
// not have or a kind the call does not fit. Text limits count UTF-16 units
// and never cut inside a character. An observer (the Qt view) is told
// after each change.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ui/control_spec.h"

namespace platform::ui {

enum class Aspect {
  Text,
  Enabled,
  Visible,
  Checked,
  Items,
  Selection,
  Rows,
  Tree,
  Progress,
  Focus,
  Caption,
  Shown,
  Topmost,
  Forward,  // brought to the front (an event, not a state)
  Scroll,   // a multi-line edit scrolled by lines (an event)
};

class ModelObserver {
 public:
  virtual ~ModelObserver() = default;
  virtual void ControlChanged(int id, Aspect aspect) = 0;
  virtual void DialogChanged(Aspect aspect) = 0;
};

struct ListItem {
  std::string text;
  uint64_t data = 0;
};

struct ListRow {
  std::vector<std::string> cells;
  uint64_t data = 0;
};

// Tree items are named by handles that are never 0 and never reused in
// one control; kTreeRoot stands for the invisible root.
using TreeHandle = uint64_t;
inline constexpr TreeHandle kTreeRoot = 0;

struct TreeItem {
  TreeHandle handle = 0;
  TreeHandle parent = kTreeRoot;
  std::string text;
  uint64_t data = 0;
  bool expanded = false;
};

struct ControlState {
  const ControlSpec* entry = nullptr;
  std::string text;
  bool enabled = true;
  bool visible = true;
  bool checked = false;
  size_t limit = 0;  // UTF-16 units; 0 = none
  std::vector<ListItem> items;  // combo, list box, tab strip
  int selection = -1;           // item, row or tab; -1 = none
  std::vector<ListRow> rows;    // list view
  std::vector<TreeItem> tree;   // tree view, in insertion order
  TreeHandle treeSelection = 0;
  TreeHandle nextHandle = 1;
  int progressMin = 0;
  int progressMax = 100;
  int progress = 0;
  // Multi-line edit: the lines of the last scroll and all of them so far
  // (down positive).
  int lastScroll = 0;
  int scrolledLines = 0;
};

class DialogModel {
 public:
  explicit DialogModel(const DialogTemplate& templ);
  virtual ~DialogModel() = default;
  DialogModel(const DialogModel&) = delete;
  DialogModel& operator=(const DialogModel&) = delete;

  const DialogTemplate& templ() const { return templ_; }
  bool Has(int id) const { return Find(id) != nullptr; }
  const ControlState* State(int id) const { return Find(id); }

  // Text of any control (a combo's edit field, a group box's title). An
  // edit or combo with a limit keeps at most that many units.
  bool SetText(int id, std::string_view text);
  std::string Text(int id) const;
  bool SetLimit(int id, size_t units);  // cuts the text already there
  size_t Limit(int id) const;

  bool Enable(int id, bool enabled);
  bool IsEnabled(int id) const;
  bool SetVisible(int id, bool visible);
  bool IsVisible(int id) const;
  // Check boxes and radios; checking a radio clears the others of its
  // group (consecutive radios, a new group at each kGroupStart).
  bool Check(int id, bool checked);
  bool IsChecked(int id) const;

  // Items of a combo, list box or tab strip. Insert at index >= count
  // appends; the index of the item is returned, -1 on failure.
  int AddItem(int id, std::string text, uint64_t data = 0);
  int InsertItem(int id, int index, std::string text, uint64_t data = 0);
  bool DeleteItem(int id, int index);
  bool ClearItems(int id);
  int ItemCount(int id) const;
  std::string ItemText(int id, int index) const;
  uint64_t ItemData(int id, int index) const;
  int FindItem(int id, std::string_view text) const;  // exact, -1 when none
  // Items, rows or tabs: an index out of range selects nothing (-1). A
  // combo's edit field takes the selected item's text.
  bool SetSelection(int id, int index);
  int Selection(int id) const;

  // Rows of a list view.
  int AddRow(int id, std::vector<std::string> cells, uint64_t data = 0);
  bool SetCell(int id, int row, int column, std::string text);
  bool ClearRows(int id);
  int RowCount(int id) const;
  std::string Cell(int id, int row, int column) const;
  uint64_t RowData(int id, int row) const;

  // Items of a tree view; 0 when the parent is unknown.
  TreeHandle InsertTreeItem(int id, TreeHandle parent, std::string text, uint64_t data = 0);
  bool DeleteTreeItem(int id, TreeHandle item);  // with its children
  bool ClearTree(int id);
  bool SetTreeItemText(int id, TreeHandle item, std::string text);
  std::string TreeItemText(int id, TreeHandle item) const;
  uint64_t TreeItemData(int id, TreeHandle item) const;
  bool HasTreeItem(int id, TreeHandle item) const;
  TreeHandle TreeParent(int id, TreeHandle item) const;
  std::vector<TreeHandle> TreeChildren(int id, TreeHandle parent) const;
  bool ExpandTreeItem(int id, TreeHandle item, bool expanded);
  bool SelectTreeItem(int id, TreeHandle item);  // unknown item: none
  TreeHandle TreeSelection(int id) const;

  // EM_LINESCROLL of a multi-line edit: its view moves lines down (up
  // when negative); the view stops at the text's ends.
  bool ScrollLines(int id, int lines);

  // Progress bars; the position stays inside the range.
  bool SetProgressRange(int id, int low, int high);
  bool SetProgress(int id, int position);
  int Progress(int id) const;

  // The control the keyboard is at, and whether its text is to be
  // selected whole (an edit).
  bool SetFocus(int id, bool selectAll = false);
  int Focus() const { return focus_; }
  bool FocusSelectsAll() const { return focusSelectAll_; }

  void SetCaption(std::string caption);
  const std::string& Caption() const { return caption_; }
  bool IsShown() const { return shown_; }
  bool IsTopmost() const { return topmost_; }

  void SetObserver(ModelObserver* observer) { observer_ = observer; }

 protected:
  void SetShownState(bool shown);
  void SetTopmostState(bool topmost);
  void NotifyDialog(Aspect aspect);

 private:
  ControlState* Find(int id);
  const ControlState* Find(int id) const;
  ControlState* FindKind(int id, std::initializer_list<ControlKind> kinds);
  const ControlState* FindKind(int id, std::initializer_list<ControlKind> kinds) const;
  void Notify(int id, Aspect aspect);
  const TreeItem* FindTreeItem(const ControlState& c, TreeHandle item) const;

  const DialogTemplate& templ_;
  std::vector<ControlState> controls_;  // template order
  std::string caption_;
  bool shown_ = false;
  bool topmost_ = false;
  int focus_ = 0;
  bool focusSelectAll_ = false;
  ModelObserver* observer_ = nullptr;
};

}  // namespace platform::ui
