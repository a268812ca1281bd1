// Opening the gateway's portal page (menu item 40023, and after a connect
// when the gateway sent a URL): the stored URL, from the ANSI code page, in
// the user's browser.
//
// The text comes from the gateway, so only a web address is opened: it
// starts with "http://" or "https://" (any case), names something after
// it, and holds no control character or blank. Anything else could name a
// local file, start another handler, or read as an option of the opener;
// it is logged and dropped.
#pragma once

#include <string>
#include <string_view>

namespace client {

class ClientApp;

bool IsOpenableUrl(std::string_view url);

// Any thread; never waits for the browser.
void OpenPortalUrl(ClientApp& app);
// The same for a URL the gateway sent (ANSI), as it was when it came.
void OpenGatewayUrl(const std::string& ansiUrl);

}  // namespace client
