// ShellExecute "open" of a URL: the desktop's opener ("xdg-open", looked
// up on PATH when called) started with the URL as its one argument, from an
// argv vector (no shell), detached: nobody waits for it and it leaves no
// zombie. The URL is handed over as it is; which URLs may be opened is the
// caller's decision.
#pragma once

#include <cstdint>
#include <string>

namespace platform::shell {

// The opener's path found on PATH, or "" when no directory of PATH holds
// an executable "xdg-open".
std::string FindUrlOpener();

// 0 once the opener runs; 2 when there is none on PATH, else the process
// layer's Win32 code.
uint32_t OpenUrl(const std::string& url);

}  // namespace platform::shell
