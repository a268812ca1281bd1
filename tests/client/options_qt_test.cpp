// The Options dialog as Qt widgets under QT_QPA_PLATFORM=offscreen: its
// two pages with three saved connections in the tree, in English and
// Chinese, and the tree's pop-up menu on "Saved Connection".
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QMenu>
#include <QTest>
#include <QTreeWidget>

#include <filesystem>

#include "client/options_fixture.h"
#include "platform/ui/qt/qt_dialog_view.h"
#include "platform/ui/qt/qt_host.h"

namespace {

using namespace client;
using namespace optionstest;
using platform::ui::QtHost;

class OptionsDialogQt : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(LoadXmlConfig(store_), 0);
    for (const user_info& c : {Connection("work", "0", "pw"), Connection("home", "1", "pw", "1234"),
                               Connection("lab", "2", "", "1234")}) {
      ASSERT_TRUE(store_.AddUser(c));
      ASSERT_TRUE(store_.AddListEntry(c));
    }
    ASSERT_TRUE(store_.SetCurrentUser("home"));
    ASSERT_TRUE(store_.SetAutoLogin("1"));
  }

  Dialog* Open(uint16_t language) {
    host_.SetStrings(vqtest::ClientStrings(language));
    OptionsContext context;
    context.store = &store_;
    UseProgramAutoStart(context);
    Dialog* d = OpenOptionsDialog(host_, nullptr, context);
    host_.ProcessEvents();
    EXPECT_NE(d, nullptr);
    if (d) {
      EXPECT_TRUE(QTest::qWaitForWindowExposed(host_.View(*d)));
    }
    return d;
  }
  QTreeWidget* Tree(Dialog& d) { return host_.View(d)->findChild<QTreeWidget*>(QString::number(IDC_OPTIONS_TREE)); }
  QTreeWidgetItem* ItemNamed(QTreeWidget* tree, const QString& text) {
    const auto found = tree->findItems(text, Qt::MatchExactly | Qt::MatchRecursive);
    return found.isEmpty() ? nullptr : found.front();
  }

  vqtest::TempRoot root_;
  CXmlConfig store_;
  platform::FakeClock clock_;
  QtHost host_{clock_, VQ_CLIENT_RES_DIR};
};

TEST_F(OptionsDialogQt, ScreenshotsOfBothPages) {
  const std::string dir = VQ_SCREENSHOT_DIR;
  std::filesystem::create_directories(dir);
  for (uint16_t language : {1033, 2052}) {
    Dialog* d = Open(language);
    ASSERT_NE(d, nullptr);
    QTreeWidget* tree = Tree(*d);
    ASSERT_NE(tree, nullptr);
    ASSERT_NE(ItemNamed(tree, "lab"), nullptr);
    EXPECT_TRUE(ItemNamed(tree, "lab")->parent()->isExpanded());

    const std::string general = dir + "/options_general_" + std::to_string(language) + ".png";
    std::filesystem::remove(general);
    ASSERT_TRUE(host_.Screenshot(*d, general));
    EXPECT_GT(std::filesystem::file_size(general), 2000u);

    tree->setCurrentItem(ItemNamed(tree, "home"));
    host_.ProcessEvents();
    Dialog* saved = host_.FindDialog(IDD_SAVED_CONNECTION);
    ASSERT_NE(saved, nullptr);
    EXPECT_TRUE(host_.View(*saved)->isVisible());
    EXPECT_FALSE(host_.View(*host_.FindDialog(IDD_OPTIONS_GENERAL))->isVisible());
    EXPECT_EQ(saved->Text(IDC_CONNECTION_NAME), "home");
    const std::string page = dir + "/options_saved_connection_" + std::to_string(language) + ".png";
    std::filesystem::remove(page);
    ASSERT_TRUE(host_.Screenshot(*d, page));
    EXPECT_GT(std::filesystem::file_size(page), 2000u);
    d->EndDialog(platform::ui::IDCANCEL);
    host_.ProcessEvents();
  }
}

TEST_F(OptionsDialogQt, RightClickOnSavedConnectionOffersOnlyAddUser) {
  Dialog* d = Open(1033);
  ASSERT_NE(d, nullptr);
  QTreeWidget* tree = Tree(*d);
  ASSERT_NE(tree, nullptr);
  QTreeWidgetItem* item = ItemNamed(tree, "Saved Connection");
  ASSERT_NE(item, nullptr);
  const QPoint at = tree->visualItemRect(item).center();
  QTest::mouseClick(tree->viewport(), Qt::RightButton, Qt::NoModifier, at);
  // The right button's context-menu request, as the window system sends it.
  QContextMenuEvent request(QContextMenuEvent::Mouse, at, tree->viewport()->mapToGlobal(at));
  QApplication::sendEvent(tree->viewport(), &request);
  host_.ProcessEvents();
  EXPECT_EQ(tree->currentItem(), item);
  QMenu* menu = host_.PopupWidget();
  ASSERT_NE(menu, nullptr);
  QStringList texts;
  for (QAction* action : menu->actions()) texts << action->text();
  EXPECT_EQ(texts, QStringList{"Add User"});

  // Choosing it clears the Saved Connection page for a new connection.
  menu->actions().front()->trigger();
  host_.ProcessEvents();
  Dialog* saved = host_.FindDialog(IDD_SAVED_CONNECTION);
  ASSERT_NE(saved, nullptr);
  EXPECT_TRUE(host_.View(*saved)->isVisible());
  EXPECT_EQ(saved->Text(IDC_CONNECTION_NAME), "");
  d->EndDialog(platform::ui::IDCANCEL);
  host_.ProcessEvents();
}

}  // namespace
