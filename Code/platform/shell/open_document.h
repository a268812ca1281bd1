// ShellExecute "open" of a document (what "notepad.exe <file>" stands
// for): the desktop's opener started detached with the file's absolute
// path as its one argument, so the user's own viewer shows it.
#pragma once

#include <cstdint>
#include <string>

namespace platform::shell {

// 0 once the opener runs; ERROR_INVALID_PARAMETER for a path that is not
// absolute (the opener would read it as an option or a URL); otherwise as
// OpenUrl (2 when there is no opener).
uint32_t OpenDocument(const std::string& path);

}  // namespace platform::shell
