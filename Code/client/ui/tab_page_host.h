// The tab host: a tab strip of a dialog turned into a set of child pages,
// one tab each. It shows the page of the selected tab and gives the
// keyboard a way between the strip and the pages:
//
//   key        horizontal tabs       vertical tabs
//   Page Up    select next           select previous
//   Page Down  select previous       select next
//   Left       select previous       enter the page
//   Right      select next           enter the page
//   Up         enter the page        select previous
//   Down       enter the page        select next
//
// (only with more than one tab; there is no previous of the first tab and
// no next of the last). Inside a page Esc gives the focus back to the strip
// and Enter does nothing: neither closes the dialog. Esc on the strip is
// the dialog's own Cancel.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/ui/dialog.h"
#include "platform/ui/tab_display_area.h"

namespace client {

using platform::ui::PlacePage;
using platform::ui::TabDisplayArea;
using platform::ui::TabRect;
using platform::ui::TabStyle;

class TabPageHost {
 public:
  struct TabPage {
    std::string title;
    const platform::ui::DialogTemplate* templ = nullptr;
    std::unique_ptr<platform::ui::DialogLogic> logic;  // empty: does nothing
  };

  // One tab and one page for each entry, in order, in tab strip tabId of dialog;
  // page 0 shown and current. False when a page could not be opened (the
  // host shuts down).
  bool CreateTabPages(platform::ui::Dialog& dialog, int tabId, std::vector<TabPage> pages, bool vertical = false);
  // For the dialog's notifications of the tab strip: TCN_SELCHANGE, and
  // TCN_KEYDOWN with the key as data. True when it showed a page.
  bool TabHostNotify(int id, int code, uint64_t data);
  // Ends every page.
  void DestroyTabPages();

  int Count() const { return static_cast<int>(pages_.size()); }
  platform::ui::Dialog* Page(int index) const;
  platform::ui::Dialog* CurrentPage() const { return Page(current_); }
  int CurrentIndex() const { return current_; }
  // The keyboard is inside the current page (entered from the strip).
  bool InPage() const { return inPage_; }

 private:
  class HostedPage;

  void Select(int index);
  bool ShowSelected();
  void EnterPage();
  void LeavePage();

  platform::ui::Dialog* dialog_ = nullptr;
  int tabId_ = 0;
  bool vertical_ = false;
  std::vector<std::shared_ptr<platform::ui::Dialog*>> pages_;  // tokens: null once a page ended
  int current_ = -1;  // the page shown
  bool inPage_ = false;
};

}  // namespace client
