// The gateway's web portal for the download tests: HTTP/1.1 on the TLS
// connections of the test gateway (a first byte that is an ASCII letter
// after the handshake), or on a plain listener of its own. Its own parser
// and writer, nothing of the client's code.
//
// Routes by path (the target up to '?'): each answers a request with a
// reply: status, headers, a body by Content-Length, chunked or up to the
// close, cut after N bytes, stalled before the body. A path no route has
// is a file of the portal's folder (or a folder below it) when it names
// one, else 404. Unless a
// route is open, a request needs the configured portal session: the
// cookies sslvpn_sess_user and sslvpn_sess_id (the user name may come
// percent-escaped), or a session cookie the portal itself set (a reply
// with issueSession); without it the answer is 401. Routes may be added
// at any time (a login form, update lists).
//
// Every request is recorded: connection, method, target, raw headers,
// body and the client certificate of its connection.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "gateway/gateway_codec.h"
#include "platform/sync/event.h"
#include "platform/unique_fd.h"

namespace vqgw {

struct PortalRequest {
  size_t connection = 0;  // portal-wide number of the connection it came on
  bool tls = false;
  std::string method;
  std::string target;
  std::string rawHeaders;  // the header lines as they came, "\r\n" each, without the blank line
  std::string body;
  Bytes clientCertDer;  // of the connection (empty: none)
  bool authenticated = false;

  // The first header of that name (any case); "" when none.
  std::string Header(const std::string& name) const;
  bool HasHeader(const std::string& name) const;
  // The value of a cookie in the Cookie headers; "" when none.
  std::string Cookie(const std::string& name) const;
  std::string Path() const { return target.substr(0, target.find('?')); }
};

struct PortalReply {
  enum class Framing { Length, Chunked, Close };
  int status = 200;
  std::vector<std::string> headers;  // "Name: value"
  std::string body;
  Framing framing = Framing::Length;
  size_t chunkBytes = 8192;
  size_t cutAfter = std::string::npos;  // body bytes after which the connection drops
  int stallMs = 0;                      // pause after the headers
  size_t stallAfter = 0;                // or after this many body bytes (not chunked)
  bool issueSession = false;            // sets a portal session cookie

  static PortalReply Body(std::string body, Framing framing = Framing::Length);
  static PortalReply Status(int status);
  static PortalReply Redirect(int status, std::string location);
};

using PortalHandler = std::function<PortalReply(const PortalRequest&)>;

struct PortalRoute {
  PortalHandler handler;
  bool open = false;  // answered without a portal session

  // The same reply to every request.
  static PortalRoute Fixed(PortalReply reply, bool open = false) {
    return PortalRoute{[reply = std::move(reply)](const PortalRequest&) { return reply; }, open};
  }
};

struct PortalOptions {
  std::string sessionUser;  // both empty: no session needed
  std::string sessionId;
  std::string folder{};  // files served by name; empty: none
};

// One connection as the portal sees it.
class PortalStream {
 public:
  virtual ~PortalStream() = default;
  // > 0 bytes read; 0 nothing yet (try again); < 0 closed or failed.
  virtual int Read(void* buffer, size_t size) = 0;
  virtual bool Write(const void* data, size_t size) = 0;
  bool tls = false;
  Bytes clientCertDer;
};

class Portal {
 public:
  explicit Portal(PortalOptions options = {});

  void AddRoute(const std::string& path, PortalRoute route);
  // The answer for a file of the portal's folder (path "/a/b"): its bytes,
  // or 404 for none, a folder or a path leaving the folder.
  PortalReply FileReply(const std::string& path) const;
  std::vector<PortalRequest> Requests() const;
  bool WaitRequests(size_t n, int timeoutMs = 10000) const;

  // Serves requests until the client closes, asks to close, a reply closes
  // or cuts, nothing comes for 10 s, or stop is set.
  void Serve(PortalStream& stream, const platform::Event& stop);

 private:
  PortalReply Answer(PortalRequest& request);
  bool Authenticated(const PortalRequest& request) const;

  PortalOptions options_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::map<std::string, PortalRoute> routes_;
  std::set<std::string> issuedSessions_;
  std::vector<PortalRequest> requests_;
  size_t connections_ = 0;
};

// A plain-HTTP listener for a portal on its own thread, one connection
// after another.
class PortalHttpListener {
 public:
  // Throws std::runtime_error when it cannot listen.
  PortalHttpListener(std::shared_ptr<Portal> portal, const std::string& address = "127.0.0.1", uint16_t port = 0);
  ~PortalHttpListener();
  PortalHttpListener(const PortalHttpListener&) = delete;
  PortalHttpListener& operator=(const PortalHttpListener&) = delete;
  uint16_t Port() const { return port_; }

 private:
  void Loop();
  std::shared_ptr<Portal> portal_;
  platform::UniqueFd listen_;
  uint16_t port_ = 0;
  platform::Event stop_{platform::Event::Reset::Manual};
  std::thread thread_;
};

// True when a connection's first byte starts an HTTP request.
inline bool StartsHttp(uint8_t first) { return (first >= 'A' && first <= 'Z') || (first >= 'a' && first <= 'z'); }

}  // namespace vqgw
