// Where the pages of a tab strip go: the tab control's rectangle (in its
// parent's client coordinates) less the strip (the size of tab item 0) and
// fixed margins. The tab host places its pages by it, and so does the Qt
// view of a tab strip.
#pragma once

namespace platform::ui {

enum class TabStyle { Top, Bottom, Left, Right };

struct TabRect {
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;
  bool operator==(const TabRect&) const = default;
};

TabRect TabDisplayArea(TabStyle style, TabRect tabControl, int stripWidth, int stripHeight);
// A page placed over the area: the whole area when stretched, else at its
// own size, centred on each axis where it is smaller than the area.
TabRect PlacePage(TabRect area, bool stretch, int pageWidth, int pageHeight);

}  // namespace platform::ui
