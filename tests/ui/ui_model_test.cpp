#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "platform/ui/control_spec.h"
#include "platform/ui/dialog_model.h"
#include "platform/ui/menu_model.h"
#include "platform/ui/ui_log.h"
#include "platform/ui/ui_script.h"
#include "platform/ui/win32_ui.h"

namespace platform::ui {
namespace {

const std::string kSmile = "\xF0\x9F\x98\x80";  // U+1F600: two UTF-16 units

DialogTemplate OneOfEach() {
  return DialogTemplate(50, {
                                {.kind = ControlKind::Label},
                                {.id = 1, .kind = ControlKind::Edit},
                                {.id = 2, .kind = ControlKind::Button},
                                {.id = 3, .kind = ControlKind::CheckBox},
                                {.id = 4, .kind = ControlKind::Radio},
                                {.id = 5, .kind = ControlKind::GroupBox},
                                {.id = 6, .kind = ControlKind::Frame},
                                {.id = 7, .kind = ControlKind::Combo, .style = kEditableCombo},
                                {.id = 8, .kind = ControlKind::ListBox},
                                {.id = 9, .kind = ControlKind::ListView},
                                {.id = 10, .kind = ControlKind::TreeView},
                                {.id = 11, .kind = ControlKind::TabStrip},
                                {.id = 12, .kind = ControlKind::Picture},
                                {.id = 13, .kind = ControlKind::ProgressBar},
                            });
}

TEST(ControlTableTest, ControlsWithoutIdsGetFreeIdsFrom60000InTableOrder) {
  DialogTemplate t(7, {
                          {.kind = ControlKind::Label},
                          {.id = 60001, .kind = ControlKind::Edit},
                          {.kind = ControlKind::Label},
                          {.kind = ControlKind::GroupBox},
                      });
  std::vector<int> ids;
  for (const ControlSpec& c : t.controls) ids.push_back(c.id);
  EXPECT_EQ(ids, (std::vector<int>{60000, 60001, 60002, 60003}));
  EXPECT_EQ(StringEntryId(7, 60002), 7060002u);
  EXPECT_EQ(StringEntryId(145, 0), 145000000u);
}

TEST(ControlTableTest, AnIdGivenTwiceIsRefused) {
  EXPECT_THROW(DialogTemplate(7, {{.id = 3, .kind = ControlKind::Edit}, {.id = 3, .kind = ControlKind::Button}}),
               std::invalid_argument);
}

// Text limits count UTF-16 units and never end between the two units of a
// surrogate pair, for every kind that takes one.
TEST(DialogModelTest, LimitedTextIsCutOnlyBetweenCharacters) {
  struct Case {
    std::string text;
    size_t limit;
    std::string kept;
  };
  const std::vector<Case> cases = {
      {"ab" + kSmile, 3, "ab"},          // the pair would straddle the limit
      {"ab" + kSmile, 4, "ab" + kSmile},
      {"a" + kSmile + "b", 2, "a"},
      {kSmile + kSmile, 3, kSmile},
      {"\xE4\xB8\xAD\xE6\x96\x87", 1, "\xE4\xB8\xAD"},  // one unit per Chinese character
      {"plain", 0, "plain"},              // 0: no limit
  };
  const DialogTemplate t = OneOfEach();
  for (int id : {1, 7}) {
    for (const Case& c : cases) {
      DialogModel m(t);
      ASSERT_TRUE(m.SetLimit(id, c.limit));
      ASSERT_TRUE(m.SetText(id, c.text));
      EXPECT_EQ(m.Text(id), c.kept) << "control " << id << " limit " << c.limit;
      // A limit set later cuts what is there the same way.
      DialogModel later(t);
      later.SetText(id, c.text);
      later.SetLimit(id, c.limit);
      EXPECT_EQ(later.Text(id), c.kept) << "control " << id << " limit " << c.limit << " set later";
    }
  }
  DialogModel m(t);
  EXPECT_FALSE(m.SetLimit(2, 3)) << "a button takes no limit";
}

TEST(DialogModelTest, EveryKindKeepsTextEnabledAndVisible) {
  const DialogTemplate t = OneOfEach();
  DialogModel m(t);
  for (const ControlSpec& c : t.controls) {
    EXPECT_TRUE(m.SetText(c.id, "t" + std::to_string(c.id)));
    EXPECT_EQ(m.Text(c.id), "t" + std::to_string(c.id));
    EXPECT_TRUE(m.IsEnabled(c.id));
    EXPECT_TRUE(m.Enable(c.id, false));
    EXPECT_FALSE(m.IsEnabled(c.id));
    EXPECT_TRUE(m.SetVisible(c.id, false));
    EXPECT_FALSE(m.IsVisible(c.id));
  }
  EXPECT_FALSE(m.SetText(999, "x"));
  EXPECT_EQ(m.Text(999), "");
}

TEST(DialogModelTest, OnlyAMultiLineEditScrollsByLines) {
  const DialogTemplate multi(51, {{.id = 1, .kind = ControlKind::Edit, .style = kMultiLine | kReadOnly}});
  DialogModel m(multi);
  EXPECT_TRUE(m.ScrollLines(1, 250));
  EXPECT_TRUE(m.ScrollLines(1, -3));
  EXPECT_EQ(m.State(1)->lastScroll, -3);
  EXPECT_EQ(m.State(1)->scrolledLines, 247);
  const DialogTemplate t = OneOfEach();
  DialogModel single(t);
  for (int id : {1, 2, 7, 999}) EXPECT_FALSE(single.ScrollLines(id, 1)) << id;
}

// Selections of every kind that has them: out of range means none (-1).
TEST(DialogModelTest, SelectionOutOfRangeSelectsNothing) {
  const DialogTemplate t = OneOfEach();
  for (int id : {7, 8, 9, 11}) {
    DialogModel m(t);
    for (const char* text : {"a", "b", "c"}) {
      if (id == 9)
        m.AddRow(id, {text});
      else
        m.AddItem(id, text);
    }
    for (auto [index, expected] : std::vector<std::pair<int, int>>{{1, 1}, {3, -1}, {2, 2}, {-5, -1}, {0, 0}, {100, -1}}) {
      EXPECT_TRUE(m.SetSelection(id, index));
      EXPECT_EQ(m.Selection(id), expected) << "control " << id << " index " << index;
    }
  }
  DialogModel m(t);
  for (int id : {1, 2, 3, 10, 13}) EXPECT_FALSE(m.SetSelection(id, 0)) << "control " << id;
}

TEST(DialogModelTest, ComboTextFollowsItsSelection) {
  const DialogTemplate t = OneOfEach();
  DialogModel m(t);
  m.AddItem(7, "office", 11);
  m.AddItem(7, "home", 22);
  m.SetSelection(7, 1);
  EXPECT_EQ(m.Text(7), "home");
  EXPECT_EQ(m.ItemData(7, 1), 22u);
  m.SetSelection(7, 5);
  EXPECT_EQ(m.Text(7), "");
  EXPECT_EQ(m.FindItem(7, "office"), 0);
  EXPECT_EQ(m.FindItem(7, "Office"), -1);
}

TEST(DialogModelTest, SelectionFollowsItsItemThroughInsertAndDelete) {
  const DialogTemplate t = OneOfEach();
  DialogModel m(t);
  for (const char* text : {"a", "b", "c", "d"}) m.AddItem(8, text);
  m.SetSelection(8, 2);  // "c"
  m.InsertItem(8, 0, "z");
  EXPECT_EQ(m.ItemText(8, m.Selection(8)), "c");
  m.DeleteItem(8, 1);  // "a"
  EXPECT_EQ(m.ItemText(8, m.Selection(8)), "c");
  m.DeleteItem(8, m.Selection(8));
  EXPECT_EQ(m.Selection(8), -1);
  EXPECT_EQ(m.InsertItem(8, 99, "end"), 3) << "an index past the end appends";
  EXPECT_FALSE(m.DeleteItem(8, 4));
  m.SetSelection(8, 0);
  m.ClearItems(8);
  EXPECT_EQ(m.Selection(8), -1);
  EXPECT_EQ(m.ItemCount(8), 0);
}

TEST(DialogModelTest, CallsOfTheWrongKindChangeNothing) {
  const DialogTemplate t = OneOfEach();
  DialogModel m(t);
  EXPECT_EQ(m.AddItem(1, "x"), -1) << "an edit has no items";
  EXPECT_FALSE(m.Check(2, true)) << "a push button is not checked";
  EXPECT_EQ(m.AddRow(8, {"x"}), -1) << "a list box has no rows";
  EXPECT_EQ(m.InsertTreeItem(9, kTreeRoot, "x"), 0u) << "a list view has no tree";
  EXPECT_FALSE(m.SetProgress(12, 5));
  EXPECT_FALSE(m.SetFocus(999));
}

TEST(DialogModelTest, CheckingARadioClearsOnlyItsOwnGroup) {
  DialogTemplate t(51, {
                           {.id = 1, .kind = ControlKind::Radio, .style = kGroupStart},
                           {.id = 2, .kind = ControlKind::Radio},
                           {.id = 3, .kind = ControlKind::Radio},
                           {.id = 4, .kind = ControlKind::Radio, .style = kGroupStart},
                           {.id = 5, .kind = ControlKind::Radio},
                           {.id = 6, .kind = ControlKind::Label},
                           {.id = 7, .kind = ControlKind::Radio},
                           {.id = 8, .kind = ControlKind::CheckBox},
                       });
  DialogModel m(t);
  m.Check(1, true);
  m.Check(4, true);
  m.Check(7, true);
  m.Check(8, true);
  m.Check(3, true);
  EXPECT_FALSE(m.IsChecked(1));
  EXPECT_TRUE(m.IsChecked(3));
  EXPECT_TRUE(m.IsChecked(4)) << "another group";
  m.Check(5, true);
  EXPECT_FALSE(m.IsChecked(4));
  EXPECT_TRUE(m.IsChecked(3));
  EXPECT_TRUE(m.IsChecked(7)) << "a label ends the group";
  EXPECT_TRUE(m.IsChecked(8));
  m.Check(3, false);
  EXPECT_FALSE(m.IsChecked(3)) << "a group may have none checked";
}

TEST(DialogModelTest, TreeItemsGoWithTheirParent) {
  const DialogTemplate t = OneOfEach();
  DialogModel m(t);
  const TreeHandle root = m.InsertTreeItem(10, kTreeRoot, "Options");
  const TreeHandle general = m.InsertTreeItem(10, root, "General");
  const TreeHandle saved = m.InsertTreeItem(10, root, "Saved Connection");
  const TreeHandle office = m.InsertTreeItem(10, saved, "office", 42);
  EXPECT_EQ(m.InsertTreeItem(10, 999, "orphan"), 0u);
  EXPECT_EQ(m.TreeChildren(10, root), (std::vector<TreeHandle>{general, saved}));
  EXPECT_EQ(m.TreeItemData(10, office), 42u);
  m.SelectTreeItem(10, office);
  EXPECT_EQ(m.TreeSelection(10), office);
  m.DeleteTreeItem(10, saved);
  EXPECT_EQ(m.TreeSelection(10), 0u) << "the selected item went with its parent";
  EXPECT_FALSE(m.HasTreeItem(10, office));
  EXPECT_EQ(m.TreeChildren(10, root), (std::vector<TreeHandle>{general}));
  m.SelectTreeItem(10, office);
  EXPECT_EQ(m.TreeSelection(10), 0u) << "a deleted handle selects nothing";
  const TreeHandle again = m.InsertTreeItem(10, root, "again");
  EXPECT_NE(again, office) << "handles are not reused";
}

TEST(DialogModelTest, ProgressStaysInItsRange) {
  const DialogTemplate t = OneOfEach();
  DialogModel m(t);
  m.SetProgress(13, 150);
  EXPECT_EQ(m.Progress(13), 100);
  m.SetProgress(13, -3);
  EXPECT_EQ(m.Progress(13), 0);
  m.SetProgress(13, 80);
  m.SetProgressRange(13, 0, 50);
  EXPECT_EQ(m.Progress(13), 50);
  EXPECT_FALSE(m.SetProgressRange(13, 10, 5));
}

TEST(MenuModelTest, InsertAndRemoveByCommandOrPosition) {
  struct Log : MenuObserver {
    std::vector<std::string> changes;
    void MenuChanged(const MenuModel&, const MenuChange& c) override {
      changes.push_back(std::to_string(static_cast<int>(c.kind)) + ":" + std::to_string(c.command) + "@" +
                        std::to_string(c.position));
    }
  } log;
  MenuModel menu(109);
  menu.SetObserver(&log);
  menu.Append(40007, "Network Information");
  menu.AppendSeparator();
  menu.Append(40011, "Connect");
  menu.Append(40013, "Exit");
  EXPECT_EQ(menu.Insert(2, 40024, "Change Password"), 2u);
  EXPECT_EQ(menu.Insert(99, 40023, "Portal"), 5u) << "past the end appends";
  EXPECT_EQ(menu.Find(40011), 3);
  EXPECT_EQ(menu.Find(0), -1) << "separators are not found as command 0";
  EXPECT_TRUE(menu.RemoveCommand(40024));
  EXPECT_FALSE(menu.RemoveCommand(40024));
  EXPECT_TRUE(menu.RemoveAt(4));
  EXPECT_FALSE(menu.Has(40023));
  EXPECT_FALSE(menu.RemoveAt(4));
  menu.SetGrayed(40011, true);
  menu.SetGrayed(40011, true);  // no change, no report
  EXPECT_TRUE(menu.IsGrayed(40011));
  EXPECT_FALSE(menu.SetChecked(12345, true));
  EXPECT_EQ(log.changes, (std::vector<std::string>{"0:40007@0", "0:0@1", "0:40011@2", "0:40013@3", "0:40024@2",
                                                   "0:40023@5", "1:40024@2", "1:40023@4", "2:40011@2"}));
}

TEST(UiScriptTest, ReadsRulesAndUsesEachOnce) {
  std::string error;
  auto script = UiScript::Parse(
      "# answers\n"
      "box 94 IDOK\n"
      "box \"Are you sure to exit?\" IDNO\n"
      "box 94 7\n"
      "dialog 111 text 1003 \"gw \\\"one\\\"\"\n"
      "dialog 111 click 1\n"
      "dialog 111 end IDCANCEL\n"
      "dialog 111 end 5\n"
      "dialog 140 check 1059 1\n",
      &error);
  ASSERT_TRUE(script) << error;
  EXPECT_EQ(script->AnswerFor(BoxText("Invalid", 94)), IDOK);
  EXPECT_EQ(script->AnswerFor(BoxText("Invalid", 94)), IDNO);
  EXPECT_EQ(script->AnswerFor(BoxText("Invalid", 94)), std::nullopt);
  EXPECT_EQ(script->AnswerFor(BoxText("Are you sure to exit?")), IDNO);
  auto first = script->ActionsFor(111);
  ASSERT_EQ(first.size(), 3u) << "up to and including the first end";
  EXPECT_EQ(first[0].kind, ScriptAction::Text);
  EXPECT_EQ(first[0].text, "gw \"one\"");
  EXPECT_EQ(first[2].value, IDCANCEL);
  auto second = script->ActionsFor(111);
  ASSERT_EQ(second.size(), 1u);
  EXPECT_EQ(second[0].value, 5);
  EXPECT_TRUE(script->ActionsFor(111).empty());
  EXPECT_EQ(script->ActionsFor(140).at(0).kind, ScriptAction::Check);
}

TEST(UiScriptTest, ABadLineIsNamed) {
  for (const char* bad : {"box 94", "box x IDOK", "box 94 MAYBE", "dialog 111 press 1", "dialog 111 text 1003",
                          "box \"unterminated IDOK", "window 1 end 1", "dialog 111 check 1059"}) {
    std::string error;
    EXPECT_FALSE(UiScript::Parse(std::string("# first\n") + bad + "\n", &error)) << bad;
    EXPECT_EQ(error.rfind("line 2:", 0), 0u) << bad << " -> " << error;
  }
}

TEST(UiLogTest, JsonTextIsEscaped) {
  EXPECT_EQ(JsonQuote("a\"b\\c\n\x01"), "\"a\\\"b\\\\c\\n\\u0001\"");
  EXPECT_EQ(JsonLine("box").Add("text", "\xE4\xB8\xAD").Add("flags", 16).Add("modal", true).Text(),
            "{\"event\":\"box\",\"text\":\"\xE4\xB8\xAD\",\"flags\":16,\"modal\":true}");
}

}  // namespace
}  // namespace platform::ui
