// Whether text can be stored as an element's text and come back unchanged
// from the next load. XML 1.0 holds only some characters, and a reader turns
// every CR (and CR LF) into LF, so a file that took anything else would
// either not load again or give back other text.
#pragma once

#include <string_view>

namespace client {

// True for well-formed UTF-8 whose characters are tab, LF, or U+0020 and
// above, except the surrogates, U+FFFE and U+FFFF.
bool IsXmlText(std::string_view text);

}  // namespace client
