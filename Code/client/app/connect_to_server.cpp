#include "client/app/connect_to_server.h"

#include <string>

#include "client/app/client_app.h"
#include "client/app/connect_launcher.h"
#include "support/conn_info.h"
#include "support/log.h"
#include "support/text_convert.h"

namespace client {

int LoginModeOfInit(unsigned init) {
  if ((init & (CONN_FLAG_USB_KEY | CONN_FLAG_WEB_CONNECT)) == 0) return 0;
  return (init & CONN_FLAG_USB_KEY_ONLY) == 0 ? 1 : 2;
}

int ConnectToServerWithUsbKey(ClientApp& app) {
  if (!app.Host().IsUiThread()) {
    int result = -1;
    app.Host().Send([&app, &result] { result = ConnectToServerWithUsbKey(app); });
    return result;
  }
  LogPrint(LOG_DEBUG, "ConnectToServerWithUsbKey \n");
  conn_info conn = app.Conn();
  const std::string user = AnsiToUtf8(conn.user);
  const std::string host = AnsiToUtf8(conn.host);

  const int mode = LoginModeOfInit(conn.init);
  if (mode == 2) {
    conn.auth_type = AUTH_TYPE_USB_KEY_ONLY;
    app.SetConn(conn);
  }
  app.SetLoginMode(mode);

  WebLoginProfile profile;
  profile.alias = user + "@" + host + ":" + std::to_string(conn.port);
  profile.name = user;
  profile.host = host;
  profile.port = std::to_string(conn.port);
  profile.pin = AnsiToUtf8(conn.secret2);
  profile.loginMode = mode;
  app.Hooks().buildWebPendingProfile(app, profile);
  return app.Launcher().StartConnect();
}

}  // namespace client
