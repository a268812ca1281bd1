// Fetching the update list into a local file, with the user's portal
// credential as the command line says:
//   - no credential in the URL: one GET, no cookie, no login;
//   - "cookie": one GET carrying sslvpn_sess_user and sslvpn_sess_id;
//   - "password": a form login POST to "/login.html", then the GET on the
//     same session and connection, carrying the login's cookie.
#pragma once

#include <optional>
#include <string>

#include "platform/sync/event.h"
#include "updater/constants.h"

namespace thimbleset {

struct PortalCredential {
  std::string user;      // UTF-8
  std::string password;  // UTF-8: the password, or the portal session id
};

struct ListFetch {
  std::string listUrl;  // the whole URL as given
  CredentialMode mode = CredentialMode::Cookie;
  std::optional<PortalCredential> credential;
  std::string pin;  // the USB-key PIN (ANSI) when the gateway asks for a client certificate
  const platform::Event* cancel = nullptr;  // set: the transfer ends
};

// 0 when the whole list was written to localFile; else 401, another HTTP
// status or -1 (the web download module's results), and nothing written.
int FetchUpdateList(const ListFetch& fetch, const std::string& localFile);

}  // namespace thimbleset
