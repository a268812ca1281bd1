// The tab host under the headless host: which page the keyboard and the tab
// strip show, where the focus goes, which page timers run, and where pages
// are placed.
#include <gtest/gtest.h>

#include "client/cert_token.h"
#include "client/ui/general_page.h"
#include "client/ui/interface_page.h"
#include "client/ui/network_info_dialog.h"
#include "client/ui/route_page.h"
#include "client/ui/tab_page_host.h"
#include "platform/ui/headless_host.h"
#include "platform/ui/win32_ui.h"

namespace {

using namespace client;
using namespace platform::ui;

constexpr int kHostDialog = 990;
constexpr int kHostPage = 991;
constexpr int kStrip = 10;
constexpr int kPageEdit = 20;
constexpr int kPageButton = 21;

const DialogTemplate& HostTemplate() {
  static const DialogTemplate templ(kHostDialog, {{.id = kStrip, .kind = ControlKind::TabStrip},
                                                  {.id = IDOK, .kind = ControlKind::Button, .row = 1}});
  return templ;
}
const DialogTemplate& PageTemplate() {
  static const DialogTemplate templ(
      kHostPage, {{.kind = ControlKind::Label},
                  {.id = kPageEdit, .kind = ControlKind::Edit, .col = 1},
                  {.id = kPageButton, .kind = ControlKind::Button, .col = 2}},
      false, true);
  return templ;
}

// A dialog hosting `pages` pages, tabs on top or on the left.
class HostLogic : public DialogLogic {
 public:
  HostLogic(int pages, bool vertical) : pages_(pages), vertical_(vertical) {}
  void OnInit(Dialog& d) override {
    std::vector<TabPageHost::TabPage> pages;
    for (int i = 0; i < pages_; ++i) pages.push_back({"page " + std::to_string(i), &PageTemplate(), nullptr});
    ASSERT_TRUE(tabs.CreateTabPages(d, kStrip, std::move(pages), vertical_));
    d.SetFocus(kStrip);
  }
  void OnCommand(Dialog& d, int id, int) override {
    if (id == IDOK || id == IDCANCEL) d.EndDialog(id);
  }
  void OnNotify(Dialog&, int id, int code, uint64_t data) override { tabs.TabHostNotify(id, code, data); }

  TabPageHost tabs;

 private:
  int pages_;
  bool vertical_;
};

class NetworkInfoTabHost : public ::testing::Test {
 protected:
  void SetUp() override { host_.SetStrings(vqtest::ClientStrings(1033)); }

  Dialog* Open(int pages, bool vertical) {
    auto logic = std::make_unique<HostLogic>(pages, vertical);
    logic_ = logic.get();
    Dialog* d = host_.OpenDialog(HostTemplate(), nullptr, std::move(logic), Modality::Modal);
    host_.RunUntilIdle();
    return d;
  }
  // Exactly the selected tab's page is shown.
  void ExpectShown(int index) {
    for (int i = 0; i < logic_->tabs.Count(); ++i)
      EXPECT_EQ(logic_->tabs.Page(i)->IsShown(), i == index) << "page " << i;
    EXPECT_EQ(logic_->tabs.CurrentIndex(), index);
  }

  platform::FakeClock clock_;
  HeadlessHost host_{clock_};
  HostLogic* logic_ = nullptr;
};

TEST_F(NetworkInfoTabHost, KeyboardRule) {
  constexpr int kEnter = -1;
  struct Case {
    bool vertical;
    int key;
    int after[3];  // from the first, middle and last tab; kEnter: into the page
  };
  const Case cases[] = {
      {false, VK_PRIOR, {1, 2, 2}},
      {false, VK_NEXT, {0, 0, 1}},
      {false, VK_LEFT, {0, 0, 1}},
      {false, VK_RIGHT, {1, 2, 2}},
      {false, VK_UP, {kEnter, kEnter, kEnter}},
      {false, VK_DOWN, {kEnter, kEnter, kEnter}},
      {true, VK_PRIOR, {0, 0, 1}},
      {true, VK_NEXT, {1, 2, 2}},
      {true, VK_LEFT, {kEnter, kEnter, kEnter}},
      {true, VK_RIGHT, {kEnter, kEnter, kEnter}},
      {true, VK_UP, {0, 0, 1}},
      {true, VK_DOWN, {1, 2, 2}},
  };
  for (const Case& c : cases) {
    for (int start = 0; start < 3; ++start) {
      SCOPED_TRACE(testing::Message() << (c.vertical ? "vertical" : "horizontal") << " key " << c.key << " from "
                                      << start);
      Dialog* d = Open(3, c.vertical);
      ASSERT_NE(d, nullptr);
      ASSERT_TRUE(host_.Select(kHostDialog, kStrip, start));
      ExpectShown(start);
      ASSERT_TRUE(host_.Notify(kHostDialog, kStrip, TCN_KEYDOWN, static_cast<uint64_t>(c.key)));
      const int expected = c.after[start];
      if (expected == kEnter) {
        EXPECT_EQ(d->Selection(kStrip), start);
        ExpectShown(start);
        EXPECT_TRUE(logic_->tabs.InPage());
        EXPECT_EQ(logic_->tabs.Page(start)->Focus(), kPageEdit);
      } else {
        EXPECT_EQ(d->Selection(kStrip), expected);
        ExpectShown(expected);
        EXPECT_FALSE(logic_->tabs.InPage());
        EXPECT_EQ(d->Focus(), kStrip);
      }
      d->EndDialog(IDOK);
      host_.RunUntilIdle();
    }
  }
}

TEST_F(NetworkInfoTabHost, OneTabTakesNoKey) {
  Dialog* d = Open(1, false);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->ItemCount(kStrip), 1);
  for (int key : {VK_PRIOR, VK_NEXT, VK_LEFT, VK_RIGHT, VK_UP, VK_DOWN}) {
    ASSERT_TRUE(host_.Notify(kHostDialog, kStrip, TCN_KEYDOWN, static_cast<uint64_t>(key)));
    EXPECT_EQ(d->Selection(kStrip), 0);
    ExpectShown(0);
    EXPECT_FALSE(logic_->tabs.InPage()) << key;
  }
}

TEST_F(NetworkInfoTabHost, NoPageIndexPastTheEndIsShown) {
  Dialog* d = Open(3, false);
  ASSERT_NE(d, nullptr);
  // A selection the strip does not have leaves the shown page alone.
  EXPECT_FALSE(host_.Select(kHostDialog, kStrip, 3));
  d->SetSelection(kStrip, 3);
  EXPECT_EQ(d->Selection(kStrip), -1);
  EXPECT_FALSE(logic_->tabs.TabHostNotify(kStrip, TCN_SELCHANGE, 3));
  ExpectShown(0);
  d->SetSelection(kStrip, 2);
  EXPECT_TRUE(logic_->tabs.TabHostNotify(kStrip, TCN_SELCHANGE, 2));
  ExpectShown(2);
}

TEST_F(NetworkInfoTabHost, EscInAPageGivesTheFocusToTheStripAndEnterPressesNothing) {
  Dialog* d = Open(3, false);
  ASSERT_NE(d, nullptr);
  ASSERT_TRUE(host_.Notify(kHostDialog, kStrip, TCN_KEYDOWN, VK_DOWN));
  Dialog* page = logic_->tabs.Page(0);
  ASSERT_TRUE(logic_->tabs.InPage());
  EXPECT_TRUE(page->UserKey(VK_RETURN));
  EXPECT_FALSE(d->Ended()) << "Enter in a page is no OK";
  EXPECT_TRUE(page->UserKey(VK_ESCAPE));
  host_.RunUntilIdle();
  EXPECT_FALSE(d->Ended()) << "Esc in a page is no Cancel";
  EXPECT_EQ(d->Focus(), kStrip);
  EXPECT_FALSE(logic_->tabs.InPage());
  // The close request of a page (Esc where the page has the keys) does the same.
  ASSERT_TRUE(host_.Notify(kHostDialog, kStrip, TCN_KEYDOWN, VK_UP));
  EXPECT_TRUE(page->UserClose());
  EXPECT_FALSE(d->Ended());
  EXPECT_EQ(d->Focus(), kStrip);
  // A click in a page takes the keyboard there.
  EXPECT_TRUE(page->UserClick(kPageButton));
  EXPECT_TRUE(logic_->tabs.InPage());
  EXPECT_FALSE(d->Ended());
}

TEST_F(NetworkInfoTabHost, EscOnTheStripIsCancel) {
  Dialog* d = OpenNetworkInfo(host_, nullptr, [] { return StatusSnapshot{}; });
  ASSERT_NE(d, nullptr);
  host_.RunUntilIdle();
  EXPECT_TRUE(d->IsTopmost());
  EXPECT_EQ(d->Focus(), IDC_NETWORK_INFO_TABS);
  EXPECT_EQ(d->ItemCount(IDC_NETWORK_INFO_TABS), 3);
  EXPECT_EQ(d->ItemText(IDC_NETWORK_INFO_TABS, 2), "Route");
  ASSERT_TRUE(host_.Close(IDD_NETWORK_INFO));
  host_.RunUntilIdle();
  EXPECT_EQ(host_.FindDialog(IDD_NETWORK_INFO), nullptr);
  EXPECT_EQ(host_.FindDialog(IDD_GENERAL_PAGE), nullptr) << "the pages end with it";
  EXPECT_EQ(host_.FindDialog(IDD_ROUTE_PAGE), nullptr);
}

TEST_F(NetworkInfoTabHost, OnlyTheShownPageRunsItsTimer) {
  int reads = 0;
  Dialog* d = OpenNetworkInfo(host_, nullptr, [&reads] {
    ++reads;
    return StatusSnapshot{};
  });
  ASSERT_NE(d, nullptr);
  host_.RunUntilIdle();
  Dialog* general = host_.FindDialog(IDD_GENERAL_PAGE);
  Dialog* iface = host_.FindDialog(IDD_INTERFACE_PAGE);
  Dialog* route = host_.FindDialog(IDD_ROUTE_PAGE);
  ASSERT_TRUE(general && iface && route);
  EXPECT_EQ(reads, 1) << "filled once when made";
  host_.Advance(999);
  EXPECT_EQ(reads, 1);
  host_.Advance(1);
  EXPECT_EQ(reads, 2);
  host_.Advance(3000);
  EXPECT_EQ(reads, 5);
  EXPECT_TRUE(general->HasTimer(kGeneralTimer));
  EXPECT_FALSE(iface->HasTimer(kInterfaceTimer));
  EXPECT_FALSE(route->HasTimer(kRouteTimer));

  ASSERT_TRUE(host_.Select(IDD_NETWORK_INFO, IDC_NETWORK_INFO_TABS, 2));
  EXPECT_FALSE(general->IsShown());
  EXPECT_TRUE(route->IsShown());
  EXPECT_FALSE(general->HasTimer(kGeneralTimer));
  EXPECT_TRUE(route->HasTimer(kRouteTimer));
  host_.Advance(20000);
  EXPECT_EQ(reads, 5) << "a hidden General page reads nothing";

  ASSERT_TRUE(host_.Select(IDD_NETWORK_INFO, IDC_NETWORK_INFO_TABS, 1));
  EXPECT_TRUE(iface->HasTimer(kInterfaceTimer));
  EXPECT_FALSE(route->HasTimer(kRouteTimer));
  ASSERT_TRUE(host_.Select(IDD_NETWORK_INFO, IDC_NETWORK_INFO_TABS, 0));
  host_.Advance(1000);
  EXPECT_EQ(reads, 6);
  ASSERT_TRUE(host_.Click(IDD_NETWORK_INFO, IDOK));
  host_.RunUntilIdle();
  host_.Advance(5000);
  EXPECT_EQ(reads, 6) << "no timer outlives the dialog";
}

TEST(NetworkInfoTabArea, DisplayAreaOfEachStyle) {
  const TabRect tab{10, 20, 300, 200};
  struct Case {
    TabStyle style;
    TabRect area;
  };
  // Strip 60 wide (vertical tabs), 24 high (horizontal tabs).
  const Case cases[] = {
      {TabStyle::Top, {14, 50, 288, 160}},
      {TabStyle::Bottom, {14, 26, 288, 160}},
      {TabStyle::Left, {74, 26, 228, 188}},
      {TabStyle::Right, {14, 26, 228, 188}},
  };
  for (const Case& c : cases) EXPECT_EQ(TabDisplayArea(c.style, tab, 60, 24), c.area) << static_cast<int>(c.style);
}

TEST(NetworkInfoTabArea, StretchedOrCentred) {
  const TabRect area{14, 50, 288, 160};
  EXPECT_EQ(PlacePage(area, true, 100, 100), area);
  EXPECT_EQ(PlacePage(area, false, 100, 60), (TabRect{108, 100, 100, 60}));
  // Larger than the area: from its left and top edge.
  EXPECT_EQ(PlacePage(area, false, 400, 300), (TabRect{14, 50, 400, 300}));
  EXPECT_EQ(PlacePage(area, false, 288, 160), area);
}

}  // namespace
