// The pending profile: the saved-connection record a login is made with,
// stored in the saved-connection store once the tunnel service reports
// "connected". UI thread, except where said.
#pragma once

#include <string>

#include "client/app/client_hooks.h"
#include "client/store/user_info.h"
#include "support/conn_info.h"

namespace client {

class ClientApp;

// Sets CONN_FLAG_AUTO_LOGON in conn's init when the store's AUTOLOGIN is
// "1" and the current connection's ALIASID is alias. Any thread.
void SetAutoLogonFlagIfCurrent(conn_info& conn, const std::string& alias);

// The pending profile replaced by source.
void BuildPendingProfile(ClientApp& app, const user_info& source);

// A web login's profile made the pending one: the alias of the first saved
// connection whose login text is the web login's, else the login text
// itself; then the auto-logon flag in g_conn as SetAutoLogonFlagIfCurrent
// decides.
void BuildWebPendingProfile(ClientApp& app, const WebLoginProfile& profile);

// Stores record: a new alias is appended (its PASSWORD kept only with
// REMPASSWORD "1", its USBKEY only with REMPINWORD "1"); a stored one is
// overwritten after a password login (its preferred gateways kept); then
// it becomes the current connection (CURRENTUSER and the current record).
void SavePendingProfile(ClientApp& app, const user_info& record);
// The same for the pending profile, which is freed; nothing without one.
void SavePendingProfile(ClientApp& app);

}  // namespace client
