#include "platform/ui/menu_model.h"

namespace platform::ui {

void MenuModel::Tell(MenuChangeKind kind, int command, size_t position, bool value) {
  if (observer_) observer_->MenuChanged(*this, MenuChange{kind, command, static_cast<int>(position), value});
}

size_t MenuModel::Insert(size_t position, int command, std::string text) {
  if (position > items_.size()) position = items_.size();
  MenuItem item;
  item.command = command;
  item.text = std::move(text);
  items_.insert(items_.begin() + position, std::move(item));
  Tell(MenuChangeKind::Insert, command, position, false);
  return position;
}

size_t MenuModel::InsertSeparator(size_t position) {
  if (position > items_.size()) position = items_.size();
  MenuItem item;
  item.separator = true;
  items_.insert(items_.begin() + position, std::move(item));
  Tell(MenuChangeKind::Insert, 0, position, false);
  return position;
}

bool MenuModel::RemoveCommand(int command) {
  const int position = Find(command);
  return position >= 0 && RemoveAt(static_cast<size_t>(position));
}

bool MenuModel::RemoveAt(size_t position) {
  if (position >= items_.size()) return false;
  const int command = items_[position].command;
  items_.erase(items_.begin() + position);
  Tell(MenuChangeKind::Remove, command, position, false);
  return true;
}

bool MenuModel::SetGrayed(int command, bool grayed) {
  const int position = Find(command);
  if (position < 0) return false;
  if (items_[position].grayed != grayed) {
    items_[position].grayed = grayed;
    Tell(MenuChangeKind::Gray, command, position, grayed);
  }
  return true;
}

bool MenuModel::SetChecked(int command, bool checked) {
  const int position = Find(command);
  if (position < 0) return false;
  if (items_[position].checked != checked) {
    items_[position].checked = checked;
    Tell(MenuChangeKind::Check, command, position, checked);
  }
  return true;
}

bool MenuModel::SetText(int command, std::string text) {
  const int position = Find(command);
  if (position < 0) return false;
  items_[position].text = std::move(text);
  Tell(MenuChangeKind::Text, command, position, false);
  return true;
}

int MenuModel::Find(int command) const {
  if (command == 0) return -1;
  for (size_t i = 0; i < items_.size(); ++i)
    if (!items_[i].separator && items_[i].command == command) return static_cast<int>(i);
  return -1;
}

bool MenuModel::IsGrayed(int command) const {
  const int position = Find(command);
  return position >= 0 && items_[position].grayed;
}

bool MenuModel::IsChecked(int command) const {
  const int position = Find(command);
  return position >= 0 && items_[position].checked;
}

}  // namespace platform::ui
