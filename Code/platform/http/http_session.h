// HTTP(S) requests on libcurl, in the shape the system's downloads use: one
// session (one transfer handle, so a second request to the same server rides
// the same connection), one request at a time on the caller's thread.
//
// A request, step by step:
//   1. the URL is the split one (url.h): no user name or password goes out;
//   2. its headers are added in order, each only when no header of that name
//      is there yet; the process's cookies of the server (cookie_store.h)
//      join the Cookie header, each only when the request has not named it;
//   3. connect (30 s, one more try after 1 s), proxies from the environment;
//   4. TLS: trust is the session's store; the verify callback alone decides:
//      an error passes only when the request ignores its kind (unknown
//      authority, date, name), and a certificate that passed only so is put
//      before the request's untrusted check (a broken signature never
//      passes); a client certificate is asked of the request's provider only
//      when the server asks for one;
//   5. the answer's headers are kept (Set-Cookie goes to the cookie store),
//      its body goes piece by piece to the sink with the status;
//   6. no byte either way for the stall limit (30 s) fails; the cancel event
//      ends the transfer within a second.
// Redirects are not followed: the caller reads Location and decides.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/crypto/cert_ptr.h"
#include "platform/http/cookie_store.h"
#include "platform/http/url.h"
#include "platform/sync/clock.h"
#include "platform/sync/event.h"

namespace platform::http {

// The certificate errors a request may ignore (the values of the security
// flags the downloads set).
inline constexpr uint32_t SECURITY_FLAG_IGNORE_UNKNOWN_CA = 0x100;
inline constexpr uint32_t SECURITY_FLAG_IGNORE_CERT_CN_INVALID = 0x1000;
inline constexpr uint32_t SECURITY_FLAG_IGNORE_CERT_DATE_INVALID = 0x2000;

struct ClientCertificate {
  crypto::X509Ptr cert;
  crypto::EvpPkeyPtr key;
};
// Asked on the transfer's thread when the server wants a client
// certificate: true with both set; false sends none (the server decides).
using ClientCertProvider = std::function<bool(ClientCertificate& out)>;
// A server certificate that passed only because the request ignores some
// of its errors: the address the connection goes to and the certificate's
// DER form. False refuses the handshake.
using UntrustedCertCheck = std::function<bool(const sockaddr_storage& peer, std::span<const uint8_t> der)>;
// Each piece of the answer's body with the answer's status; false stops
// the transfer (Error::Sink).
using BodySink = std::function<bool(long status, std::string_view piece)>;

struct Request {
  std::string method = "GET";
  Url url;
  std::vector<std::string> headers;  // "Name: value"
  std::string body;                  // sent when not empty
  uint32_t ignoreCertErrors = 0;     // SECURITY_FLAG_IGNORE_*
  ClientCertProvider clientCert;
  UntrustedCertCheck untrustedCert;
};

enum class Error {
  None,
  Connect,     // no connection (after the retry)
  Tls,         // handshake failed or the server certificate was refused
  ClientCert,  // the server asked for a client certificate the provider did not give
  Stalled,     // nothing moved for the stall limit
  Cancelled,
  Sink,       // the sink refused a piece
  Truncated,  // the answer ended before its length or last chunk
  Protocol,   // anything else the transfer library reports
};

struct Response {
  Error error = Error::None;
  long status = 0;
  std::string rawHeaders;  // of the last answer: its status line and headers, "\r\n" each
  std::string errorText;   // when error != None
  // SECURITY_FLAG_IGNORE_* of the errors the server certificate had
  // (0 also over plain HTTP and on a connection already verified).
  uint32_t certErrors = 0;

  // The value of the first header of that name (any case), "" when none.
  std::string Header(std::string_view name) const;
};

struct SessionOptions {
  int connectTimeoutMs = 30000;
  int connectRetries = 1;
  int connectBackoffMs = 1000;
  int stallLimitMs = 30000;
  Clock* clock = &SystemClock();
  const Event* cancel = nullptr;  // manual reset; may be null
  crypto::X509StorePtr trust;     // null: no authority is trusted
  CookieStore* cookies = &CookieStore::Process();
};

class Session {
 public:
  explicit Session(SessionOptions options);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  Response Send(const Request& request, const BodySink& sink);

  struct Transfer;  // the state of the request under way

 private:
  struct Handle;
  SessionOptions options_;
  std::unique_ptr<Handle> handle_;
  std::unique_ptr<Transfer> transfer_;
};

}  // namespace platform::http
