// The list fetch, on the web download module's road (one session, the
// gateway's own certificate, one redirect, the body written whole):
//   - no credential: "GetWebFile": one GET with the plain Accept list, no
//     cookie; a client certificate from the settings without a PIN;
//   - "cookie": GetWebFileWithCookie with user and session id;
//   - "password": POST "/login.html" with the form, its answer read and
//     dropped, then the GET on the same session and connection, which
//     carries the cookie the login answer set.
#include "updater/list_fetch.h"

#include <cstring>
#include <optional>

#include "Wendle/web_download.h"
#include "platform/http/http_session.h"
#include "support/text_convert.h"

namespace thimbleset {
namespace {

namespace http = platform::http;

// How the debug file names the list fetch.
constexpr char kFetchName[] = "GetWebFile...";

// A form value: ANSI bytes, percent-escaped whole.
std::string FormValue(const std::string& text) {
  const std::string ansi = Utf8ToAnsi(text);
  // Three bytes per byte, and the escape's stop margin of 6.
  std::string out(ansi.size() * 3 + 6, '\0');
  EscapeUrlText(out.data(), ansi.c_str(), out.size());
  out.resize(std::strlen(out.c_str()));
  return out;
}

WebDownloadOptions Options(const ListFetch& fetch) {
  WebDownloadOptions options;
  options.cancel = fetch.cancel;
  return options;
}

int GetWebFile(const ListFetch& fetch, const std::string& localFile) {
  const std::optional<http::Url> url = http::SplitUrl(fetch.listUrl);
  if (!url) return -1;
  WebDownloadSession session(Options(fetch));
  // The certificate goes without a PIN being set.
  http::Request request = session.PortalRequest(*url, UsbKeyUnlock{false, nullptr, kFetchName});
  request.headers = {kAcceptPlainList, kPortalUserAgent};
  return session.FetchToFile(std::move(request), localFile);
}

int GetWebFileAfterLogin(const ListFetch& fetch, const std::string& localFile) {
  const std::optional<http::Url> url = http::SplitUrl(fetch.listUrl);
  if (!url) return -1;
  const char* pin = fetch.pin.empty() ? nullptr : fetch.pin.c_str();
  WebDownloadSession session(Options(fetch));

  http::Url loginUrl = *url;
  loginUrl.path = kLoginPath;
  http::Request login = session.PortalRequest(loginUrl, UsbKeyUnlock{true, pin, kFetchName});
  login.method = "POST";
  login.headers = {kLoginUserAgent, kLoginContentType};
  login.body = "txtUserName=" + FormValue(fetch.credential->user) + "&txtPasswd=" +
               FormValue(fetch.credential->password) + "&subBtn=Login";
  if (!session.Send(login)) return -1;

  http::Request get = session.PortalRequest(*url, UsbKeyUnlock{true, pin, kFetchName});
  get.headers = {kAcceptAny, kPortalUserAgent};
  return session.FetchToFile(std::move(get), localFile);
}

}  // namespace

int FetchUpdateList(const ListFetch& fetch, const std::string& localFile) {
  if (!fetch.credential) return GetWebFile(fetch, localFile);
  if (fetch.mode == CredentialMode::Cookie) {
    return GetWebFileWithCookie(fetch.listUrl, fetch.credential->user, fetch.credential->password, localFile,
                                fetch.pin.empty() ? nullptr : fetch.pin.c_str(), Options(fetch));
  }
  return GetWebFileAfterLogin(fetch, localFile);
}

}  // namespace thimbleset
