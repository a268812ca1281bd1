#include "client/store/xml_element.h"

#include <vector>

namespace client {
namespace {

bool IsText(pugi::xml_node node) {
  return node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata;
}

bool IsBlank(std::string_view text) {
  return text.find_first_not_of(" \t\n\r") == std::string_view::npos;
}

void CollectText(pugi::xml_node node, std::string& out) {
  for (pugi::xml_node child : node.children()) {
    if (IsText(child)) out += child.value();
    else if (child.type() == pugi::node_element) CollectText(child, out);
  }
}

}  // namespace

std::string ElementText(pugi::xml_node element) {
  std::string text;
  CollectText(element, text);
  return text;
}

void SetElementText(pugi::xml_node element, std::string_view text) {
  while (pugi::xml_node child = element.first_child()) element.remove_child(child);
  if (!text.empty()) element.append_child(pugi::node_pcdata).set_value(std::string(text).c_str());
}

pugi::xml_node AppendElement(pugi::xml_node parent, const char* name, std::string_view text) {
  std::vector<pugi::xml_node> blanks;
  for (pugi::xml_node child : parent.children()) {
    if (child.type() == pugi::node_pcdata && IsBlank(child.value())) blanks.push_back(child);
  }
  for (pugi::xml_node blank : blanks) parent.remove_child(blank);
  pugi::xml_node element = parent.append_child(name);
  SetElementText(element, text);
  return element;
}

}  // namespace client
