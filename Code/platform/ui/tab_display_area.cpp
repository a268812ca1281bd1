#include "platform/ui/tab_display_area.h"

namespace platform::ui {

TabRect TabDisplayArea(TabStyle style, TabRect r, int stripWidth, int stripHeight) {
  switch (style) {
    case TabStyle::Top: return {r.left + 4, r.top + stripHeight + 6, r.width - 12, r.height - stripHeight - 16};
    case TabStyle::Bottom: return {r.left + 4, r.top + 6, r.width - 12, r.height - stripHeight - 16};
    case TabStyle::Left: return {r.left + stripWidth + 4, r.top + 6, r.width - stripWidth - 12, r.height - 12};
    case TabStyle::Right: return {r.left + 4, r.top + 6, r.width - stripWidth - 12, r.height - 12};
  }
  return r;
}

TabRect PlacePage(TabRect area, bool stretch, int pageWidth, int pageHeight) {
  if (stretch) return area;
  TabRect page{area.left, area.top, pageWidth, pageHeight};
  if (pageWidth < area.width) page.left += (area.width - pageWidth) / 2;
  if (pageHeight < area.height) page.top += (area.height - pageHeight) / 2;
  return page;
}

}  // namespace platform::ui
