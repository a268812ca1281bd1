// One dialog (or page) shown as Qt widgets: a widget per control in a
// grid, objectName = the control id in decimal, the dialog itself
// "dialog<template>". The model is the truth: a user's edit goes into it
// first and then to the logic; every model change is drawn here.
#pragma once

#include <QDialog>
#include <QPointer>

#include <map>
#include <vector>

#include "platform/ui/dialog.h"

class QButtonGroup;
class QGridLayout;
class QTreeWidgetItem;

namespace platform::ui {

class QtHost;

class QtDialogView final : public QDialog, private ModelObserver {
 public:
  // A page is embedded in parentWidget; a dialog is a window of its own,
  // window-modal to parentWidget when modal.
  QtDialogView(QtHost& host, Dialog& dialog, QWidget* parentWidget);
  ~QtDialogView() override;

  Dialog& dialog() const { return dialog_; }
  QWidget* Control(int id) const;
  // Where the pages hosted by a tab strip or frame go.
  QWidget* PageArea(int id) const;
  // Leaves the model alone from now on (the dialog has ended).
  void Detach();

 protected:
  void reject() override;  // Esc
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  // A tab strip's keys go to the logic (TCN_KEYDOWN), not to the strip.
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void ControlChanged(int id, Aspect aspect) override;
  void DialogChanged(Aspect aspect) override;

  void Build();
  QWidget* Make(const ControlSpec& entry, QGridLayout* grid, int row, int col);
  void Connect(const ControlSpec& entry, QWidget* widget);
  void SyncAll();
  void SyncText(int id);
  void SyncChecked(int id);
  void SyncItems(int id);
  void SyncSelection(int id);
  void SyncRows(int id);
  void SyncTree(int id);
  void SyncProgress(int id);
  void SyncFocus();
  void SyncTopmost();
  void SyncShown();

  QtHost& host_;
  Dialog& dialog_;
  bool attached_ = true;
  int syncing_ = 0;
  std::map<int, QWidget*> controls_;
  std::map<int, QWidget*> pageAreas_;
  std::map<int, QButtonGroup*> radioGroups_;  // radio id -> its group
  std::map<int, std::map<TreeHandle, QTreeWidgetItem*>> treeItems_;
};

}  // namespace platform::ui
