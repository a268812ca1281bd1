#include "platform/ui/control_spec.h"

#include <set>
#include <stdexcept>
#include <string>

namespace platform::ui {

DialogTemplate::DialogTemplate(int id_, std::vector<ControlSpec> controls_, bool topmost_, bool childPage_)
    : id(id_), topmost(topmost_), childPage(childPage_), controls(std::move(controls_)) {
  std::set<int> used;
  for (const ControlSpec& c : controls)
    if (c.id != kNoControlId && !used.insert(c.id).second)
      throw std::invalid_argument("template " + std::to_string(id) + ": control id " + std::to_string(c.id) +
                                  " given twice");
  int next = kFirstLabelId;
  for (ControlSpec& c : controls) {
    if (c.id != kNoControlId) continue;
    while (used.count(next)) ++next;
    c.id = next;
    used.insert(next);
  }
}

const ControlSpec* DialogTemplate::Find(int controlId) const {
  for (const ControlSpec& c : controls)
    if (c.id == controlId) return &c;
  return nullptr;
}

}  // namespace platform::ui
