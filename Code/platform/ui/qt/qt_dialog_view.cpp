#include "platform/ui/qt/qt_dialog_view.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QTabBar>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "platform/ui/qt/qt_host.h"
#include "platform/ui/tab_display_area.h"
#include "platform/ui/win32_ui.h"

namespace platform::ui {

namespace {

QString Q(const std::string& text) { return QString::fromStdString(text); }
std::string S(const QString& text) { return text.toStdString(); }

// Model -> widget changes must not come back as user input.
struct Syncing {
  explicit Syncing(int& depth) : depth_(depth) { ++depth_; }
  ~Syncing() { --depth_; }
  int& depth_;
};

// The virtual key of a key the tab strip's keyboard rule knows; 0 else.
int StripKey(int key) {
  switch (key) {
    case Qt::Key_PageUp: return VK_PRIOR;
    case Qt::Key_PageDown: return VK_NEXT;
    case Qt::Key_Left: return VK_LEFT;
    case Qt::Key_Right: return VK_RIGHT;
    case Qt::Key_Up: return VK_UP;
    case Qt::Key_Down: return VK_DOWN;
    default: return 0;
  }
}

int RowOf(QTreeWidget* list) {
  QTreeWidgetItem* item = list->currentItem();
  return item && list->currentItem()->isSelected() ? list->indexOfTopLevelItem(item) : -1;
}

}  // namespace

QtDialogView::QtDialogView(QtHost& host, Dialog& dialog, QWidget* parentWidget)
    : QDialog(parentWidget), host_(host), dialog_(dialog) {
  setObjectName(QStringLiteral("dialog%1").arg(dialog.templateId()));
  if (dialog.parent()) {
    setWindowFlags(Qt::Widget);
    // The pages of one place lie over each other, and the place is as large
    // as the largest of them: the window keeps its size from page to page.
    if (auto* grid = parentWidget ? qobject_cast<QGridLayout*>(parentWidget->layout()) : nullptr) {
      QSizePolicy policy = sizePolicy();
      policy.setRetainSizeWhenHidden(true);
      setSizePolicy(policy);
      grid->addWidget(this, 0, 0);
    } else if (parentWidget && parentWidget->layout()) {
      parentWidget->layout()->addWidget(this);
    }
    // Hidden until the logic shows it, also when its window is shown.
    setVisible(dialog.IsShown());
  } else if (dialog.modality() == Modality::Modal && parentWidget) {
    setWindowModality(Qt::WindowModal);
  }
  Build();
  SyncAll();
  dialog_.SetObserver(this);
}

QtDialogView::~QtDialogView() { Detach(); }

void QtDialogView::Detach() {
  if (!attached_) return;
  attached_ = false;
  dialog_.SetObserver(nullptr);
}

QWidget* QtDialogView::Control(int id) const {
  auto it = controls_.find(id);
  return it == controls_.end() ? nullptr : it->second;
}

QWidget* QtDialogView::PageArea(int id) const {
  auto it = pageAreas_.find(id);
  return it == pageAreas_.end() ? nullptr : it->second;
}

void QtDialogView::Build() {
  auto* grid = new QGridLayout(this);
  grid->setHorizontalSpacing(10);
  grid->setVerticalSpacing(6);
  // A group box holds, in a grid of its own, the controls whose cell lies
  // in its span, so its frame and title go around them, never across.
  struct Box {
    const ControlSpec* entry;
    QGridLayout* grid;
  };
  std::vector<Box> boxes;
  auto gridFor = [&](const ControlSpec& entry, int& row, int& col) {
    for (const Box& b : boxes)
      if (entry.row >= b.entry->row && entry.row < b.entry->row + b.entry->rowSpan && entry.col >= b.entry->col &&
          entry.col < b.entry->col + b.entry->colSpan) {
        row = entry.row - b.entry->row;
        col = entry.col - b.entry->col;
        return b.grid;
      }
    row = entry.row;
    col = entry.col;
    return grid;
  };
  QWidget* previous = nullptr;
  QButtonGroup* group = nullptr;
  for (const ControlSpec& entry : dialog_.templ().controls) {
    int row = 0, col = 0;
    QGridLayout* target = gridFor(entry, row, col);
    QWidget* w = Make(entry, target, row, col);
    controls_[entry.id] = w;
    w->setObjectName(QString::number(entry.id));
    if (entry.kind == ControlKind::GroupBox) {
      auto* inner = new QGridLayout(w);
      inner->setHorizontalSpacing(10);
      boxes.push_back(Box{&entry, inner});
    }
    if (entry.kind == ControlKind::Radio) {
      if (!group || (entry.style & kGroupStart)) group = new QButtonGroup(this);
      group->addButton(static_cast<QRadioButton*>(w));
      radioGroups_[entry.id] = group;
    } else {
      group = nullptr;
    }
    Connect(entry, w);
    // Tab order is table order.
    if (w->focusPolicy() != Qt::NoFocus) {
      if (previous) setTabOrder(previous, w);
      previous = w;
    }
  }
}

QWidget* QtDialogView::Make(const ControlSpec& entry, QGridLayout* grid, int row, int col) {
  QWidget* w = nullptr;
  QWidget* placed = nullptr;
  switch (entry.kind) {
    case ControlKind::Label: {
      auto* l = new QLabel(this);
      // A paragraph of text breaks into lines instead of widening the dialog.
      l->setWordWrap(entry.style & kMultiLine);
      w = l;
      break;
    }
    case ControlKind::Edit:
      if (entry.style & kMultiLine) {
        auto* e = new QPlainTextEdit(this);
        e->setReadOnly(entry.style & kReadOnly);
        w = e;
      } else {
        auto* e = new QLineEdit(this);
        e->setReadOnly(entry.style & kReadOnly);
        if (entry.style & kPassword) e->setEchoMode(QLineEdit::Password);
        if (entry.style & kNumber)
          e->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), e));
        w = e;
      }
      break;
    case ControlKind::Button: {
      auto* b = new QPushButton(this);
      b->setAutoDefault(false);
      b->setDefault(entry.style & kDefaultButton);
      w = b;
      break;
    }
    case ControlKind::CheckBox:
      w = new QCheckBox(this);
      break;
    case ControlKind::Radio:
      w = new QRadioButton(this);
      break;
    case ControlKind::GroupBox:
      w = new QGroupBox(this);
      break;
    case ControlKind::Frame: {
      auto* f = new QFrame(this);
      f->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
      auto* area = new QGridLayout(f);
      area->setContentsMargins(2, 2, 2, 2);
      pageAreas_[entry.id] = f;
      w = f;
      break;
    }
    case ControlKind::Combo: {
      auto* c = new QComboBox(this);
      c->setEditable(entry.style & kEditableCombo);
      w = c;
      break;
    }
    case ControlKind::ListBox:
      w = new QListWidget(this);
      break;
    case ControlKind::ListView: {
      auto* list = new QTreeWidget(this);
      list->setRootIsDecorated(false);
      list->setContextMenuPolicy(Qt::CustomContextMenu);
      QStringList headers;
      for (const ColumnSpec& c : entry.columns) headers << Q(host_.LoadString(c.textId));
      list->setColumnCount(std::max<int>(1, static_cast<int>(entry.columns.size())));
      if (!entry.columns.empty()) list->setHeaderLabels(headers);
      int width = 0;
      for (size_t i = 0; i < entry.columns.size(); ++i) {
        list->setColumnWidth(static_cast<int>(i), entry.columns[i].width);
        width += entry.columns[i].width;
      }
      // Wide enough for every column and a scroll bar.
      if (width) list->setMinimumWidth(width + 2 * list->frameWidth() + 20);
      w = list;
      break;
    }
    case ControlKind::TreeView: {
      auto* tree = new QTreeWidget(this);
      tree->setHeaderHidden(true);
      tree->setContextMenuPolicy(Qt::CustomContextMenu);
      w = tree;
      break;
    }
    case ControlKind::TabStrip: {
      // The strip, and below it the place of the pages it selects.
      auto* box = new QWidget(this);
      auto* column = new QVBoxLayout(box);
      column->setContentsMargins(0, 0, 0, 0);
      column->setSpacing(0);
      auto* bar = new QTabBar(box);
      bar->setExpanding(false);
      bar->installEventFilter(this);
      column->addWidget(bar);
      auto* area = new QFrame(box);
      area->setFrameStyle(QFrame::StyledPanel | QFrame::Raised);
      auto* areaGrid = new QGridLayout(area);
      // The margins of the display area, below the strip.
      const TabRect whole{0, 0, 1000, 1000};
      const TabRect pages = TabDisplayArea(TabStyle::Top, whole, 0, 0);
      areaGrid->setContentsMargins(pages.left, pages.top, whole.width - pages.left - pages.width,
                                   whole.height - pages.top - pages.height);
      column->addWidget(area, 1);
      pageAreas_[entry.id] = area;
      w = bar;
      placed = box;
      break;
    }
    case ControlKind::Picture: {
      auto* label = new QLabel(this);
      QPixmap picture = host_.Picture(entry.pictureId);
      if (!picture.isNull()) label->setPixmap(picture);
      label->setAlignment(Qt::AlignCenter);
      w = label;
      break;
    }
    case ControlKind::ProgressBar:
      w = new QProgressBar(this);
      break;
  }
  grid->addWidget(placed ? placed : w, row, col, entry.rowSpan, entry.colSpan);
  return w;
}

void QtDialogView::Connect(const ControlSpec& entry, QWidget* w) {
  const int id = entry.id;
  // After input the widget shows what the model took (a cut or refused edit).
  auto after = [this, id](bool) {
    if (!attached_) return;
    SyncText(id);
    SyncChecked(id);
    SyncSelection(id);
  };
  switch (entry.kind) {
    case ControlKind::Edit:
      if (auto* e = qobject_cast<QLineEdit*>(w)) {
        connect(e, &QLineEdit::textEdited, this, [this, id, after](const QString& text) {
          if (syncing_ || !attached_) return;
          after(dialog_.UserEdit(id, S(text)));
        });
      } else if (auto* p = qobject_cast<QPlainTextEdit*>(w)) {
        connect(p, &QPlainTextEdit::textChanged, this, [this, id, p, after] {
          if (syncing_ || !attached_) return;
          after(dialog_.UserEdit(id, S(p->toPlainText())));
        });
      }
      break;
    case ControlKind::Button:
    case ControlKind::CheckBox:
    case ControlKind::Radio:
      connect(static_cast<QAbstractButton*>(w), &QAbstractButton::clicked, this, [this, id, after] {
        if (syncing_ || !attached_) return;
        after(dialog_.UserClick(id));
      });
      break;
    case ControlKind::Combo: {
      auto* c = static_cast<QComboBox*>(w);
      connect(c, &QComboBox::activated, this, [this, id, after](int index) {
        if (syncing_ || !attached_) return;
        after(dialog_.UserSelect(id, index));
      });
      if (c->lineEdit())
        connect(c->lineEdit(), &QLineEdit::textEdited, this, [this, id, after](const QString& text) {
          if (syncing_ || !attached_) return;
          after(dialog_.UserEdit(id, S(text)));
        });
      break;
    }
    case ControlKind::ListBox: {
      auto* list = static_cast<QListWidget*>(w);
      connect(list, &QListWidget::itemSelectionChanged, this, [this, id, list, after] {
        if (syncing_ || !attached_) return;
        after(dialog_.UserSelect(id, list->currentRow()));
      });
      connect(list, &QListWidget::itemDoubleClicked, this, [this, id](QListWidgetItem*) {
        if (!syncing_ && attached_) dialog_.UserCommand(id, LBN_DBLCLK);
      });
      break;
    }
    case ControlKind::ListView: {
      auto* list = static_cast<QTreeWidget*>(w);
      connect(list, &QTreeWidget::itemSelectionChanged, this, [this, id, list, after] {
        if (syncing_ || !attached_) return;
        after(dialog_.UserSelect(id, RowOf(list)));
      });
      connect(list, &QTreeWidget::itemDoubleClicked, this, [this, id, list](QTreeWidgetItem* item, int) {
        if (!syncing_ && attached_) dialog_.UserNotify(id, NM_DBLCLK, list->indexOfTopLevelItem(item));
      });
      connect(list, &QTreeWidget::customContextMenuRequested, this, [this, id, list](const QPoint& at) {
        if (!attached_) return;
        QTreeWidgetItem* item = list->itemAt(at);
        dialog_.UserNotify(id, NM_RCLICK, item ? list->indexOfTopLevelItem(item) : -1);
      });
      break;
    }
    case ControlKind::TreeView: {
      auto* tree = static_cast<QTreeWidget*>(w);
      auto handleOf = [this, id](QTreeWidgetItem* item) -> TreeHandle {
        for (auto& [handle, it] : treeItems_[id])
          if (it == item) return handle;
        return 0;
      };
      connect(tree, &QTreeWidget::itemSelectionChanged, this, [this, id, tree, handleOf, after] {
        if (syncing_ || !attached_) return;
        after(dialog_.UserSelectTree(id, handleOf(tree->currentItem())));
      });
      connect(tree, &QTreeWidget::customContextMenuRequested, this, [this, id, tree, handleOf](const QPoint& at) {
        if (attached_) dialog_.UserNotify(id, NM_RCLICK, handleOf(tree->itemAt(at)));
      });
      break;
    }
    case ControlKind::TabStrip:
      connect(static_cast<QTabBar*>(w), &QTabBar::currentChanged, this, [this, id, after](int index) {
        if (syncing_ || !attached_) return;
        after(dialog_.UserSelect(id, index));
      });
      break;
    default:
      break;
  }
}

void QtDialogView::SyncAll() {
  Syncing guard(syncing_);
  setWindowTitle(Q(dialog_.Caption()));
  for (const ControlSpec& entry : dialog_.templ().controls) {
    const int id = entry.id;
    SyncText(id);
    controls_[id]->setEnabled(dialog_.IsEnabled(id));
    if (!dialog_.IsVisible(id)) controls_[id]->setVisible(false);
    SyncChecked(id);
    SyncItems(id);
    SyncRows(id);
    SyncTree(id);
    SyncSelection(id);
    SyncProgress(id);
  }
  SyncTopmost();
}

void QtDialogView::ControlChanged(int id, Aspect aspect) {
  host_.RequireUiThreadFor("dialog model change");
  if (!Control(id)) return;
  Syncing guard(syncing_);
  switch (aspect) {
    case Aspect::Text: SyncText(id); break;
    case Aspect::Enabled: Control(id)->setEnabled(dialog_.IsEnabled(id)); break;
    case Aspect::Visible: {
      QWidget* w = Control(id);
      if (auto* bar = qobject_cast<QTabBar*>(w)) w = bar->parentWidget();
      w->setVisible(dialog_.IsVisible(id));
      break;
    }
    case Aspect::Checked: SyncChecked(id); break;
    case Aspect::Items: SyncItems(id); break;
    case Aspect::Selection: SyncSelection(id); break;
    case Aspect::Rows: SyncRows(id); break;
    case Aspect::Tree: SyncTree(id); break;
    case Aspect::Progress: SyncProgress(id); break;
    case Aspect::Scroll:
      // A plain-text edit's vertical bar counts lines.
      if (auto* p = qobject_cast<QPlainTextEdit*>(Control(id))) {
        QScrollBar* bar = p->verticalScrollBar();
        bar->setValue(bar->value() + dialog_.State(id)->lastScroll);
      }
      break;
    default: break;
  }
}

void QtDialogView::DialogChanged(Aspect aspect) {
  host_.RequireUiThreadFor("dialog model change");
  Syncing guard(syncing_);
  switch (aspect) {
    case Aspect::Caption: setWindowTitle(Q(dialog_.Caption())); break;
    case Aspect::Shown: SyncShown(); break;
    case Aspect::Topmost: SyncTopmost(); break;
    case Aspect::Focus: SyncFocus(); break;
    case Aspect::Forward:
      if (!dialog_.parent()) {
        raise();
        activateWindow();
      }
      break;
    default: break;
  }
}

void QtDialogView::SyncText(int id) {
  QWidget* w = Control(id);
  const QString text = Q(dialog_.Text(id));
  Syncing guard(syncing_);
  if (auto* e = qobject_cast<QLineEdit*>(w)) {
    if (e->text() != text) e->setText(text);
  } else if (auto* p = qobject_cast<QPlainTextEdit*>(w)) {
    if (p->toPlainText() != text) p->setPlainText(text);
  } else if (auto* c = qobject_cast<QComboBox*>(w)) {
    if (c->isEditable() && c->currentText() != text) c->setEditText(text);
  } else if (auto* b = qobject_cast<QAbstractButton*>(w)) {
    b->setText(text);
  } else if (auto* g = qobject_cast<QGroupBox*>(w)) {
    g->setTitle(text);
  } else if (auto* l = qobject_cast<QLabel*>(w)) {
    if (dialog_.State(id)->entry->kind == ControlKind::Label) l->setText(text);
  }
}

void QtDialogView::SyncChecked(int id) {
  auto* b = qobject_cast<QAbstractButton*>(Control(id));
  if (!b || !b->isCheckable()) return;
  const bool checked = dialog_.IsChecked(id);
  if (b->isChecked() == checked) return;
  Syncing guard(syncing_);
  // An exclusive group will not let its checked radio go; the model may
  // have none checked.
  QButtonGroup* group = radioGroups_.count(id) ? radioGroups_[id] : nullptr;
  if (group && !checked) group->setExclusive(false);
  b->setChecked(checked);
  if (group && !checked) group->setExclusive(true);
}

void QtDialogView::SyncItems(int id) {
  const ControlState* s = dialog_.State(id);
  Syncing guard(syncing_);
  if (auto* c = qobject_cast<QComboBox*>(Control(id))) {
    const QString edit = c->currentText();
    c->clear();
    for (const ListItem& item : s->items) c->addItem(Q(item.text));
    c->setCurrentIndex(s->selection);
    if (c->isEditable()) c->setEditText(Q(dialog_.Text(id)));
  } else if (auto* list = qobject_cast<QListWidget*>(Control(id))) {
    list->clear();
    for (const ListItem& item : s->items) list->addItem(Q(item.text));
  } else if (auto* bar = qobject_cast<QTabBar*>(Control(id))) {
    while (bar->count()) bar->removeTab(0);
    for (const ListItem& item : s->items) bar->addTab(Q(item.text));
  }
  SyncSelection(id);
}

void QtDialogView::SyncSelection(int id) {
  const int selection = dialog_.Selection(id);
  Syncing guard(syncing_);
  QWidget* w = Control(id);
  if (auto* c = qobject_cast<QComboBox*>(w)) {
    if (c->currentIndex() != selection) c->setCurrentIndex(selection);
    if (c->isEditable() && c->currentText() != Q(dialog_.Text(id))) c->setEditText(Q(dialog_.Text(id)));
  } else if (auto* list = qobject_cast<QListWidget*>(w)) {
    if (selection < 0)
      list->clearSelection();
    else if (list->currentRow() != selection || !list->currentItem()->isSelected())
      list->setCurrentRow(selection);
  } else if (auto* bar = qobject_cast<QTabBar*>(w)) {
    if (selection >= 0 && bar->currentIndex() != selection) bar->setCurrentIndex(selection);
  } else if (auto* tree = qobject_cast<QTreeWidget*>(w)) {
    if (dialog_.State(id)->entry->kind == ControlKind::ListView) {
      if (selection < 0)
        tree->clearSelection();
      else if (RowOf(tree) != selection)
        tree->setCurrentItem(tree->topLevelItem(selection));
    } else {
      auto& items = treeItems_[id];
      auto it = items.find(dialog_.TreeSelection(id));
      if (it == items.end())
        tree->clearSelection();
      else if (tree->currentItem() != it->second || !it->second->isSelected())
        tree->setCurrentItem(it->second);
    }
  }
}

void QtDialogView::SyncRows(int id) {
  const ControlState* s = dialog_.State(id);
  if (s->entry->kind != ControlKind::ListView) return;
  auto* list = static_cast<QTreeWidget*>(Control(id));
  Syncing guard(syncing_);
  list->clear();
  for (const ListRow& row : s->rows) {
    QStringList cells;
    for (const std::string& cell : row.cells) cells << Q(cell);
    list->addTopLevelItem(new QTreeWidgetItem(cells));
  }
  SyncSelection(id);
}

void QtDialogView::SyncTree(int id) {
  const ControlState* s = dialog_.State(id);
  if (s->entry->kind != ControlKind::TreeView) return;
  auto* tree = static_cast<QTreeWidget*>(Control(id));
  Syncing guard(syncing_);
  tree->clear();
  auto& items = treeItems_[id];
  items.clear();
  // Parents always come before their children in insertion order.
  for (const TreeItem& t : s->tree) {
    QTreeWidgetItem* item = t.parent == kTreeRoot ? new QTreeWidgetItem(tree) : new QTreeWidgetItem(items[t.parent]);
    item->setText(0, Q(t.text));
    items[t.handle] = item;
  }
  for (const TreeItem& t : s->tree) items[t.handle]->setExpanded(t.expanded);
  // Wide enough for its longest text, indentation included.
  tree->resizeColumnToContents(0);
  tree->setMinimumWidth(std::max(100, tree->columnWidth(0) + 2 * tree->frameWidth() + 20));
  SyncSelection(id);
}

void QtDialogView::SyncProgress(int id) {
  auto* bar = qobject_cast<QProgressBar*>(Control(id));
  if (!bar) return;
  const ControlState* s = dialog_.State(id);
  bar->setRange(s->progressMin, s->progressMax);
  bar->setValue(s->progress);
}

void QtDialogView::SyncFocus() {
  QWidget* w = Control(dialog_.Focus());
  if (!w) return;
  w->setFocus(Qt::OtherFocusReason);
  if (auto* e = qobject_cast<QLineEdit*>(w); e && dialog_.FocusSelectsAll()) e->selectAll();
}

void QtDialogView::SyncTopmost() {
  if (dialog_.parent()) return;
  const bool topmost = dialog_.IsTopmost();
  if (windowFlags().testFlag(Qt::WindowStaysOnTopHint) == topmost) return;
  const bool visible = isVisible();
  setWindowFlag(Qt::WindowStaysOnTopHint, topmost);
  if (visible) show();  // changing the flags hides a window
}

void QtDialogView::SyncShown() {
  if (dialog_.parent()) {
    setVisible(dialog_.IsShown());
    return;
  }
  if (dialog_.IsShown()) {
    show();  // never exec(): no nested event loop
    SyncFocus();
  } else {
    hide();
  }
}

bool QtDialogView::eventFilter(QObject* watched, QEvent* event) {
  auto* bar = qobject_cast<QTabBar*>(watched);
  if (bar && event->type() == QEvent::KeyPress && attached_) {
    const int key = StripKey(static_cast<QKeyEvent*>(event)->key());
    if (key != 0) {
      dialog_.UserNotify(bar->objectName().toInt(), TCN_KEYDOWN, static_cast<uint64_t>(key));
      return true;
    }
  }
  return QDialog::eventFilter(watched, event);
}

void QtDialogView::keyPressEvent(QKeyEvent* event) {
  const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
  // A page that uses Enter keeps it from the dialog's default button.
  if (enter && attached_ && dialog_.parent() && dialog_.UserKey(VK_RETURN)) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

void QtDialogView::reject() {
  if (!attached_) return;
  if (dialog_.parent()) {
    if (dialog_.UserKey(VK_ESCAPE)) return;  // the page used it
    // Esc in a page closes the dialog the page is in.
    if (auto* top = dynamic_cast<QtDialogView*>(window()); top && top != this) top->reject();
    return;
  }
  dialog_.UserClose();
}

void QtDialogView::closeEvent(QCloseEvent* event) {
  event->ignore();
  if (attached_) dialog_.UserClose();
}

}  // namespace platform::ui
