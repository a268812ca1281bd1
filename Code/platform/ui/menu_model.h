// A menu as data: items by command id, each with its text, or separators.
// The host shows it (tray menu, pop-ups) and logs its changes. A menu's
// texts are string entries StringEntryId(menu id, command id). UI thread
// only: a worker that wants a menu changed posts the change.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace platform::ui {

struct MenuItem {
  int command = 0;  // 0 for a separator
  std::string text;
  bool separator = false;
  bool grayed = false;
  bool checked = false;
};

enum class MenuChangeKind { Insert, Remove, Gray, Check, Text };

struct MenuChange {
  MenuChangeKind kind;
  int command;
  int position;
  bool value;  // grayed or checked
};

class MenuModel;

class MenuObserver {
 public:
  virtual ~MenuObserver() = default;
  virtual void MenuChanged(const MenuModel& menu, const MenuChange& change) = 0;
};

class MenuModel {
 public:
  explicit MenuModel(int menuId = 0) : id_(menuId) {}

  int id() const { return id_; }
  const std::vector<MenuItem>& items() const { return items_; }
  size_t size() const { return items_.size(); }

  void Append(int command, std::string text) { Insert(items_.size(), command, std::move(text)); }
  void AppendSeparator() { InsertSeparator(items_.size()); }
  // A position past the end appends. The position used is returned.
  size_t Insert(size_t position, int command, std::string text);
  size_t InsertSeparator(size_t position);
  bool RemoveCommand(int command);  // the first item with that command
  bool RemoveAt(size_t position);
  bool SetGrayed(int command, bool grayed);
  bool SetChecked(int command, bool checked);
  bool SetText(int command, std::string text);

  int Find(int command) const;  // position, -1 when absent
  bool Has(int command) const { return Find(command) >= 0; }
  bool IsGrayed(int command) const;
  bool IsChecked(int command) const;

  void SetObserver(MenuObserver* observer) { observer_ = observer; }

 private:
  void Tell(MenuChangeKind kind, int command, size_t position, bool value);

  int id_;
  std::vector<MenuItem> items_;
  MenuObserver* observer_ = nullptr;
};

}  // namespace platform::ui
