// The web download module: one file from the gateway's web portal over
// HTTP or HTTPS, fetched as the user's portal session, written to a local
// file. Linked into the web control and the updater.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "platform/http/http_session.h"
#include "platform/sync/event.h"

// The debug file of the client-certificate step ("C:\Thimbleset.txt"),
// kept in the log folder.
inline constexpr char WEB_DOWNLOAD_LOG_NAME[] = "Thimbleset.txt";
std::string WebDownloadLogPath();

// What a caller may change about a download; the defaults are the system's.
struct WebDownloadOptions {
  const platform::Event* cancel = nullptr;  // manual reset; ends the transfer within a second
  int stallLimitMs = 30000;                 // no byte for this long fails
  int connectTimeoutMs = 30000;
};

// Fetches url ("http" or "https", host, optional port, path) with the
// portal cookies sslvpn_sess_user = user and sslvpn_sess_id = sessionId,
// following one redirect, into localFile. pin (null: none) unlocks the USB
// key when the gateway asks for a client certificate.
//   0    the whole file was written (replacing localFile in one rename);
//   401  the gateway answered 401;
//   other HTTP status: the answer (or the redirected one) was not 200;
//   -1   anything else: a local file whose name ends in "exe", "com",
//        "dll", "bat", "sys" or "inf"; a user name or session id with a
//        control byte or ';'; a URL that does not split; a redirect without
//        Location; no connection; a refused certificate (a broken one, or
//        another than the tunnel service stored for that gateway); no
//        client certificate or a refused PIN; a body cut short; a failed
//        write. Nothing is written then.
int GetWebFileWithCookie(const std::string& url, const std::string& user, const std::string& sessionId,
                         const std::string& localFile, const char* pin, const WebDownloadOptions& options = {});

// Percent-escapes in into out (outSize bytes): '0'-'9', 'a'-'z', 'A'-'Z'
// and '.' are copied, every other byte becomes "%xx" (lower-case hex of the
// unsigned byte). Stops at in's terminator or when fewer than 6 bytes of
// out remain; out is always terminated (when outSize > 0).
void EscapeUrlText(char* out, const char* in, size_t outSize);

// How a download presents the USB key's certificate when the gateway asks
// for one: the key is unlocked with pin first (null: an empty PIN) when
// setPin is on; caller names the function in the debug file's lines
// ("Set USB key PIN failed in <caller>").
struct UsbKeyUnlock {
  bool setPin = true;
  const char* pin = nullptr;
  const char* caller = "";
};

// One download session of the portal for callers with requests of their
// own (the updater's list fetch): the options, certificate rules and result
// rules of GetWebFileWithCookie, on one connection kept between requests.
class WebDownloadSession {
 public:
  explicit WebDownloadSession(const WebDownloadOptions& options = {});
  ~WebDownloadSession();
  WebDownloadSession(const WebDownloadSession&) = delete;
  WebDownloadSession& operator=(const WebDownloadSession&) = delete;

  // A GET of url with no headers yet: the gateway's own certificate passes
  // unless the tunnel service stored another one for it; a client
  // certificate of the user's settings goes when the gateway asks.
  platform::http::Request PortalRequest(const platform::http::Url& url, const UsbKeyUnlock& unlock) const;
  // Sends request and drops the answer; false when the transfer failed.
  bool Send(const platform::http::Request& request);
  // Sends request and writes its file as GetWebFileWithCookie does, with
  // its results: 0 written whole, 401, another status, -1.
  int FetchToFile(platform::http::Request request, const std::string& localFile);

 private:
  std::unique_ptr<platform::http::Session> session_;
};
