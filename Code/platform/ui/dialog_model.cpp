#include "platform/ui/dialog_model.h"

#include <algorithm>

#include "platform/text/utf16.h"

namespace platform::ui {

namespace {

bool Holds(std::initializer_list<ControlKind> kinds, ControlKind kind) {
  return std::find(kinds.begin(), kinds.end(), kind) != kinds.end();
}

constexpr std::initializer_list<ControlKind> kItemKinds = {ControlKind::Combo, ControlKind::ListBox,
                                                           ControlKind::TabStrip};

}  // namespace

DialogModel::DialogModel(const DialogTemplate& templ) : templ_(templ), topmost_(templ.topmost) {
  controls_.reserve(templ.controls.size());
  for (const ControlSpec& entry : templ.controls) {
    ControlState state;
    state.entry = &entry;
    controls_.push_back(std::move(state));
  }
}

ControlState* DialogModel::Find(int id) {
  for (ControlState& c : controls_)
    if (c.entry->id == id) return &c;
  return nullptr;
}

const ControlState* DialogModel::Find(int id) const {
  for (const ControlState& c : controls_)
    if (c.entry->id == id) return &c;
  return nullptr;
}

ControlState* DialogModel::FindKind(int id, std::initializer_list<ControlKind> kinds) {
  ControlState* c = Find(id);
  return c && Holds(kinds, c->entry->kind) ? c : nullptr;
}

const ControlState* DialogModel::FindKind(int id, std::initializer_list<ControlKind> kinds) const {
  const ControlState* c = Find(id);
  return c && Holds(kinds, c->entry->kind) ? c : nullptr;
}

void DialogModel::Notify(int id, Aspect aspect) {
  if (observer_) observer_->ControlChanged(id, aspect);
}

void DialogModel::NotifyDialog(Aspect aspect) {
  if (observer_) observer_->DialogChanged(aspect);
}

bool DialogModel::SetText(int id, std::string_view text) {
  ControlState* c = Find(id);
  if (!c) return false;
  std::string cut = c->limit ? CutUtf8ToUnits(text, c->limit) : std::string(text);
  if (cut == c->text) return true;
  c->text = std::move(cut);
  Notify(id, Aspect::Text);
  return true;
}

std::string DialogModel::Text(int id) const {
  const ControlState* c = Find(id);
  return c ? c->text : std::string();
}

bool DialogModel::SetLimit(int id, size_t units) {
  ControlState* c = FindKind(id, {ControlKind::Edit, ControlKind::Combo});
  if (!c) return false;
  c->limit = units;
  if (units && Utf16Length(c->text) > units) {
    c->text = CutUtf8ToUnits(c->text, units);
    Notify(id, Aspect::Text);
  }
  return true;
}

bool DialogModel::ScrollLines(int id, int lines) {
  ControlState* c = FindKind(id, {ControlKind::Edit});
  if (!c || !(c->entry->style & kMultiLine)) return false;
  c->lastScroll = lines;
  c->scrolledLines += lines;
  Notify(id, Aspect::Scroll);
  return true;
}

size_t DialogModel::Limit(int id) const {
  const ControlState* c = Find(id);
  return c ? c->limit : 0;
}

bool DialogModel::Enable(int id, bool enabled) {
  ControlState* c = Find(id);
  if (!c) return false;
  if (c->enabled != enabled) {
    c->enabled = enabled;
    Notify(id, Aspect::Enabled);
  }
  return true;
}

bool DialogModel::IsEnabled(int id) const {
  const ControlState* c = Find(id);
  return c && c->enabled;
}

bool DialogModel::SetVisible(int id, bool visible) {
  ControlState* c = Find(id);
  if (!c) return false;
  if (c->visible != visible) {
    c->visible = visible;
    Notify(id, Aspect::Visible);
  }
  return true;
}

bool DialogModel::IsVisible(int id) const {
  const ControlState* c = Find(id);
  return c && c->visible;
}

bool DialogModel::Check(int id, bool checked) {
  ControlState* c = FindKind(id, {ControlKind::CheckBox, ControlKind::Radio});
  if (!c) return false;
  if (c->entry->kind == ControlKind::Radio && checked) {
    // The group: the run of radios around this one, cut at kGroupStart.
    auto self = std::find_if(controls_.begin(), controls_.end(), [&](const ControlState& s) { return &s == c; });
    auto first = self;
    while (first != controls_.begin() && !(first->entry->style & kGroupStart) &&
           std::prev(first)->entry->kind == ControlKind::Radio)
      --first;
    for (auto it = first; it != controls_.end() && it->entry->kind == ControlKind::Radio; ++it) {
      if (it != first && (it->entry->style & kGroupStart)) break;
      if (it != self && it->checked) {
        it->checked = false;
        Notify(it->entry->id, Aspect::Checked);
      }
    }
  }
  if (c->checked != checked) {
    c->checked = checked;
    Notify(id, Aspect::Checked);
  }
  return true;
}

bool DialogModel::IsChecked(int id) const {
  const ControlState* c = Find(id);
  return c && c->checked;
}

int DialogModel::AddItem(int id, std::string text, uint64_t data) {
  return InsertItem(id, ItemCount(id), std::move(text), data);
}

int DialogModel::InsertItem(int id, int index, std::string text, uint64_t data) {
  ControlState* c = FindKind(id, kItemKinds);
  if (!c) return -1;
  const int count = static_cast<int>(c->items.size());
  if (index < 0 || index > count) index = count;
  c->items.insert(c->items.begin() + index, ListItem{std::move(text), data});
  Notify(id, Aspect::Items);
  if (c->selection >= index) {
    ++c->selection;
    Notify(id, Aspect::Selection);
  }
  return index;
}

bool DialogModel::DeleteItem(int id, int index) {
  ControlState* c = FindKind(id, kItemKinds);
  if (!c || index < 0 || index >= static_cast<int>(c->items.size())) return false;
  c->items.erase(c->items.begin() + index);
  Notify(id, Aspect::Items);
  if (c->selection == index) {
    c->selection = -1;
    Notify(id, Aspect::Selection);
  } else if (c->selection > index) {
    --c->selection;
    Notify(id, Aspect::Selection);
  }
  return true;
}

bool DialogModel::ClearItems(int id) {
  ControlState* c = FindKind(id, kItemKinds);
  if (!c) return false;
  c->items.clear();
  Notify(id, Aspect::Items);
  if (c->selection != -1) {
    c->selection = -1;
    Notify(id, Aspect::Selection);
  }
  return true;
}

int DialogModel::ItemCount(int id) const {
  const ControlState* c = FindKind(id, kItemKinds);
  return c ? static_cast<int>(c->items.size()) : 0;
}

std::string DialogModel::ItemText(int id, int index) const {
  const ControlState* c = FindKind(id, kItemKinds);
  if (!c || index < 0 || index >= static_cast<int>(c->items.size())) return {};
  return c->items[index].text;
}

uint64_t DialogModel::ItemData(int id, int index) const {
  const ControlState* c = FindKind(id, kItemKinds);
  if (!c || index < 0 || index >= static_cast<int>(c->items.size())) return 0;
  return c->items[index].data;
}

int DialogModel::FindItem(int id, std::string_view text) const {
  const ControlState* c = FindKind(id, kItemKinds);
  if (!c) return -1;
  for (size_t i = 0; i < c->items.size(); ++i)
    if (c->items[i].text == text) return static_cast<int>(i);
  return -1;
}

bool DialogModel::SetSelection(int id, int index) {
  ControlState* c = FindKind(id, {ControlKind::Combo, ControlKind::ListBox, ControlKind::TabStrip,
                                  ControlKind::ListView});
  if (!c) return false;
  const size_t count = c->entry->kind == ControlKind::ListView ? c->rows.size() : c->items.size();
  if (index < 0 || static_cast<size_t>(index) >= count) index = -1;
  if (c->selection != index) {
    c->selection = index;
    Notify(id, Aspect::Selection);
  }
  if (c->entry->kind == ControlKind::Combo) SetText(id, index >= 0 ? c->items[index].text : std::string());
  return true;
}

int DialogModel::Selection(int id) const {
  const ControlState* c = Find(id);
  return c ? c->selection : -1;
}

int DialogModel::AddRow(int id, std::vector<std::string> cells, uint64_t data) {
  ControlState* c = FindKind(id, {ControlKind::ListView});
  if (!c) return -1;
  c->rows.push_back(ListRow{std::move(cells), data});
  Notify(id, Aspect::Rows);
  return static_cast<int>(c->rows.size()) - 1;
}

bool DialogModel::SetCell(int id, int row, int column, std::string text) {
  ControlState* c = FindKind(id, {ControlKind::ListView});
  if (!c || row < 0 || row >= static_cast<int>(c->rows.size()) || column < 0) return false;
  auto& cells = c->rows[row].cells;
  if (static_cast<size_t>(column) >= cells.size()) cells.resize(column + 1);
  cells[column] = std::move(text);
  Notify(id, Aspect::Rows);
  return true;
}

bool DialogModel::ClearRows(int id) {
  ControlState* c = FindKind(id, {ControlKind::ListView});
  if (!c) return false;
  c->rows.clear();
  Notify(id, Aspect::Rows);
  if (c->selection != -1) {
    c->selection = -1;
    Notify(id, Aspect::Selection);
  }
  return true;
}

int DialogModel::RowCount(int id) const {
  const ControlState* c = FindKind(id, {ControlKind::ListView});
  return c ? static_cast<int>(c->rows.size()) : 0;
}

std::string DialogModel::Cell(int id, int row, int column) const {
  const ControlState* c = FindKind(id, {ControlKind::ListView});
  if (!c || row < 0 || row >= static_cast<int>(c->rows.size()) || column < 0) return {};
  const auto& cells = c->rows[row].cells;
  return static_cast<size_t>(column) < cells.size() ? cells[column] : std::string();
}

uint64_t DialogModel::RowData(int id, int row) const {
  const ControlState* c = FindKind(id, {ControlKind::ListView});
  if (!c || row < 0 || row >= static_cast<int>(c->rows.size())) return 0;
  return c->rows[row].data;
}

const TreeItem* DialogModel::FindTreeItem(const ControlState& c, TreeHandle item) const {
  for (const TreeItem& t : c.tree)
    if (t.handle == item) return &t;
  return nullptr;
}

TreeHandle DialogModel::InsertTreeItem(int id, TreeHandle parent, std::string text, uint64_t data) {
  ControlState* c = FindKind(id, {ControlKind::TreeView});
  if (!c || (parent != kTreeRoot && !FindTreeItem(*c, parent))) return 0;
  const TreeHandle handle = c->nextHandle++;
  c->tree.push_back(TreeItem{handle, parent, std::move(text), data, false});
  Notify(id, Aspect::Tree);
  return handle;
}

bool DialogModel::DeleteTreeItem(int id, TreeHandle item) {
  ControlState* c = FindKind(id, {ControlKind::TreeView});
  if (!c || !FindTreeItem(*c, item)) return false;
  // The item and everything below it.
  std::vector<TreeHandle> doomed{item};
  for (size_t i = 0; i < doomed.size(); ++i)
    for (const TreeItem& t : c->tree)
      if (t.parent == doomed[i]) doomed.push_back(t.handle);
  auto gone = [&](const TreeItem& t) { return std::find(doomed.begin(), doomed.end(), t.handle) != doomed.end(); };
  c->tree.erase(std::remove_if(c->tree.begin(), c->tree.end(), gone), c->tree.end());
  Notify(id, Aspect::Tree);
  if (std::find(doomed.begin(), doomed.end(), c->treeSelection) != doomed.end()) {
    c->treeSelection = 0;
    Notify(id, Aspect::Selection);
  }
  return true;
}

bool DialogModel::ClearTree(int id) {
  ControlState* c = FindKind(id, {ControlKind::TreeView});
  if (!c) return false;
  c->tree.clear();
  Notify(id, Aspect::Tree);
  if (c->treeSelection) {
    c->treeSelection = 0;
    Notify(id, Aspect::Selection);
  }
  return true;
}

bool DialogModel::SetTreeItemText(int id, TreeHandle item, std::string text) {
  ControlState* c = FindKind(id, {ControlKind::TreeView});
  if (!c) return false;
  for (TreeItem& t : c->tree)
    if (t.handle == item) {
      t.text = std::move(text);
      Notify(id, Aspect::Tree);
      return true;
    }
  return false;
}

std::string DialogModel::TreeItemText(int id, TreeHandle item) const {
  const ControlState* c = FindKind(id, {ControlKind::TreeView});
  const TreeItem* t = c ? FindTreeItem(*c, item) : nullptr;
  return t ? t->text : std::string();
}

uint64_t DialogModel::TreeItemData(int id, TreeHandle item) const {
  const ControlState* c = FindKind(id, {ControlKind::TreeView});
  const TreeItem* t = c ? FindTreeItem(*c, item) : nullptr;
  return t ? t->data : 0;
}

bool DialogModel::HasTreeItem(int id, TreeHandle item) const {
  const ControlState* c = FindKind(id, {ControlKind::TreeView});
  return c && FindTreeItem(*c, item);
}

TreeHandle DialogModel::TreeParent(int id, TreeHandle item) const {
  const ControlState* c = FindKind(id, {ControlKind::TreeView});
  const TreeItem* t = c ? FindTreeItem(*c, item) : nullptr;
  return t ? t->parent : kTreeRoot;
}

std::vector<TreeHandle> DialogModel::TreeChildren(int id, TreeHandle parent) const {
  std::vector<TreeHandle> out;
  if (const ControlState* c = FindKind(id, {ControlKind::TreeView}))
    for (const TreeItem& t : c->tree)
      if (t.parent == parent) out.push_back(t.handle);
  return out;
}

bool DialogModel::ExpandTreeItem(int id, TreeHandle item, bool expanded) {
  ControlState* c = FindKind(id, {ControlKind::TreeView});
  if (!c) return false;
  for (TreeItem& t : c->tree)
    if (t.handle == item) {
      t.expanded = expanded;
      Notify(id, Aspect::Tree);
      return true;
    }
  return false;
}

bool DialogModel::SelectTreeItem(int id, TreeHandle item) {
  ControlState* c = FindKind(id, {ControlKind::TreeView});
  if (!c) return false;
  if (!FindTreeItem(*c, item)) item = 0;
  if (c->treeSelection != item) {
    c->treeSelection = item;
    Notify(id, Aspect::Selection);
  }
  return true;
}

TreeHandle DialogModel::TreeSelection(int id) const {
  const ControlState* c = FindKind(id, {ControlKind::TreeView});
  return c ? c->treeSelection : 0;
}

bool DialogModel::SetProgressRange(int id, int low, int high) {
  ControlState* c = FindKind(id, {ControlKind::ProgressBar});
  if (!c || high < low) return false;
  c->progressMin = low;
  c->progressMax = high;
  c->progress = std::clamp(c->progress, low, high);
  Notify(id, Aspect::Progress);
  return true;
}

bool DialogModel::SetProgress(int id, int position) {
  ControlState* c = FindKind(id, {ControlKind::ProgressBar});
  if (!c) return false;
  const int clamped = std::clamp(position, c->progressMin, c->progressMax);
  if (clamped != c->progress) {
    c->progress = clamped;
    Notify(id, Aspect::Progress);
  }
  return true;
}

int DialogModel::Progress(int id) const {
  const ControlState* c = FindKind(id, {ControlKind::ProgressBar});
  return c ? c->progress : 0;
}

bool DialogModel::SetFocus(int id, bool selectAll) {
  if (!Find(id)) return false;
  focus_ = id;
  focusSelectAll_ = selectAll;
  NotifyDialog(Aspect::Focus);
  return true;
}

void DialogModel::SetCaption(std::string caption) {
  if (caption == caption_) return;
  caption_ = std::move(caption);
  NotifyDialog(Aspect::Caption);
}

void DialogModel::SetShownState(bool shown) {
  if (shown == shown_) return;
  shown_ = shown;
  NotifyDialog(Aspect::Shown);
}

void DialogModel::SetTopmostState(bool topmost) {
  if (topmost == topmost_) return;
  topmost_ = topmost;
  NotifyDialog(Aspect::Topmost);
}

}  // namespace platform::ui
