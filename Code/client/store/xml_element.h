// Element texts as the store reads and writes them.
#pragma once

#include <string>
#include <string_view>

#include <pugixml.hpp>

namespace client {

// All text inside the element, in document order (what a DOM calls its text).
std::string ElementText(pugi::xml_node element);

// Replaces everything inside the element by the text (nothing for "").
void SetElementText(pugi::xml_node element, std::string_view text);

// Appends a child element holding text to parent, after taking out blank
// text the parent held (whitespace another writer laid out), so the saved
// file keeps an element a line.
pugi::xml_node AppendElement(pugi::xml_node parent, const char* name, std::string_view text = {});

}  // namespace client
