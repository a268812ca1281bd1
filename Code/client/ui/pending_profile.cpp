#include "client/ui/pending_profile.h"

#include "client/app/client_app.h"
#include "client/store/process_store.h"
#include "support/log.h"

namespace client {

void SetAutoLogonFlagIfCurrent(conn_info& conn, const std::string& alias) {
  const std::optional<user_info> current = g_xmlConfig.GetCurrentUser();
  if (g_xmlConfig.GetAutoLogin().value_or("") == "1" && current && current->ALIASID == alias) {
    conn.init |= CONN_FLAG_AUTO_LOGON;
  }
}

void BuildPendingProfile(ClientApp& app, const user_info& source) { app.Login().SetPending(source); }

void BuildWebPendingProfile(ClientApp& app, const WebLoginProfile& profile) {
  user_info record;
  const std::optional<user_info> saved = g_xmlConfig.FindByLogin(profile.alias);
  record.ALIASID = saved ? saved->ALIASID : profile.alias;
  record.NAME = profile.name;
  record.HOST = profile.host;
  record.PORT = profile.port;
  record.USBKEY = profile.pin;
  record.LOGINMODE = std::to_string(profile.loginMode);
  BuildPendingProfile(app, record);
  conn_info conn = app.Conn();
  SetAutoLogonFlagIfCurrent(conn, record.ALIASID);
  app.SetConn(conn);
}

void SavePendingProfile(ClientApp& app, const user_info& record) {
  user_info stored = record;
  if (const std::optional<user_info> saved = g_xmlConfig.FindUser(record.ALIASID)) {
    // The dialog's record has no preferred gateways: the stored ones stay.
    stored.PROXSERVER = saved->PROXSERVER;
    if (app.Conn().auth_type == AUTH_TYPE_PASSWORD) {
      g_xmlConfig.CopyToListEntry(stored);
      if (!g_xmlConfig.SaveUser(stored)) LogPrint(LOG_ERR, "Save connection %s failed\n", stored.ALIASID);
    }
  } else {
    if (stored.REMPASSWORD != "1") stored.PASSWORD.clear();
    if (stored.REMPINWORD != "1") stored.USBKEY.clear();
    g_xmlConfig.AddListEntry(stored);
    if (!g_xmlConfig.AddUser(stored)) LogPrint(LOG_ERR, "Add connection %s failed\n", stored.ALIASID);
  }
  g_xmlConfig.SetCurrentUser(stored.ALIASID);
  // The current record keeps the secrets of this login for the session.
  user_info current = record;
  current.PROXSERVER = stored.PROXSERVER;
  g_xmlConfig.CopyToCurrentUser(current);
}

void SavePendingProfile(ClientApp& app) {
  const std::optional<user_info> pending = app.Login().Pending();
  if (!pending) return;
  SavePendingProfile(app, *pending);
  app.Login().FreePending();
}

}  // namespace client
