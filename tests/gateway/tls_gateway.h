// The test gateway's TCP/TLS side: listens on an address and port (0 = any
// free port), accepts one connection after another on its own thread and
// plays, per connection:
//   1. optionally an HTTP CONNECT proxy: reads the request up to its blank
//      line, answers with scripted writes (200, a long or split 200, 407);
//      after a non-2xx answer it only records what else arrives;
//   2. in silent mode nothing more: TCP is accepted and TLS never spoken;
//   3. the TLS handshake with the configured certificate, chain and version
//      range (a new certificate per connection in changed-certificate
//      mode), requiring a client certificate of a given authority when
//      asked;
//   4. with a portal: a first byte that is an ASCII letter makes the
//      connection the portal's (HTTP), anything else goes on to the script;
//   5. the script: writes (one message, one split over several writes,
//      several coalesced into one), stalls, reads of whole control messages,
//      a close with or without close_notify, a responder that answers
//      requests until the client closes; after the script it waits for the
//      client to close and records whether close_notify came.
// Every connection leaves a record that tests read and wait for.
#pragma once

#include <netinet/in.h>
#include <openssl/ssl.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gateway/gateway_codec.h"
#include "gateway/key_request.h"
#include "gateway/portal.h"
#include "gateway/test_certs.h"
#include "platform/sync/event.h"
#include "platform/unique_fd.h"

namespace vqgw {

// Answers to requests read while a Respond action runs: the replies to
// write for one decoded request (none: the request stays unanswered).
using Responder = std::function<std::vector<Bytes>(const Message& request)>;

struct Action {
  enum class Kind { Write, Stall, ReadMessages, Close, Respond };
  Kind kind = Kind::Write;
  std::vector<Bytes> writes;  // Write: each element is one TLS write
  // Stall: milliseconds; ReadMessages: how many; Respond: how many requests
  // to answer before the action ends (negative: until the client closes).
  int count = 0;
  bool closeNotify = true;  // Close
  Responder responder;      // Respond

  static Action Send(const Bytes& bytes);
  // One message cut into `parts` writes of about equal size.
  static Action SendSplit(const Bytes& bytes, int parts);
  // Several messages in a single write.
  static Action SendCoalesced(const std::vector<Bytes>& messages);
  static Action Stall(int ms);
  static Action Read(int messages);
  static Action Close(bool withCloseNotify);
  // Reads requests with no time limit and answers each through the
  // responder, until `answers` requests were answered or the client closes.
  static Action Respond(Responder responder, int answers = -1);
};

// Proxy replies, each element one write (split replies pause between writes).
std::vector<std::string> ProxyReplyOk();
std::vector<std::string> ProxyReplyLong();
std::vector<std::string> ProxyReplySplit();
std::vector<std::string> ProxyReply407();

struct GatewayOptions {
  std::string address = "127.0.0.1";
  uint16_t port = 0;
  std::shared_ptr<const TestCert> cert{};  // null: a valid one is made
  // Sent after cert, its issuer first (test_chain.h builds them).
  std::vector<std::shared_ptr<const TestCert>> chain{};
  // Changed-certificate mode: every connection after the first shows a
  // newly made valid self-signed certificate.
  bool newCertEachConnection = false;
  // Client-certificate-required mode: the handshake succeeds only with a
  // client certificate this authority issued.
  std::shared_ptr<X509> clientCa{};
  // TLS1_VERSION ... TLS1_3_VERSION; 0 leaves the library's bound. A minimum
  // below TLS 1.2 also lowers the security level to 0.
  int minVersion = 0;
  int maxVersion = 0;
  bool proxy = false;
  std::vector<std::string> proxyReply = ProxyReplyOk();
  bool silent = false;
  std::vector<Action> script{};
  // The web portal on the same port (null: none).
  std::shared_ptr<Portal> portal{};
};

struct ConnectionRecord {
  sockaddr_in peer{};
  sockaddr_in local{};
  std::string proxyRequest;
  // Bytes that arrived after a refusing proxy answer.
  size_t bytesAfterProxyRefusal = 0;
  bool handshakeDone = false;
  int tlsVersion = 0;
  Bytes serverCertDer;  // the certificate the gateway showed
  Bytes clientCertDer;  // the client's certificate (empty: none)
  // Why the handshake failed, as OpenSSL names it ("peer did not return a
  // certificate"); empty when it did not.
  std::string handshakeError;
  std::vector<Bytes> received;  // whole control messages
  // Every new-key or rekey request among them, decoded, in order.
  std::vector<KeyRequest> keyRequests;
  bool peerClosed = false;
  bool peerSentCloseNotify = false;
  bool http = false;      // the portal served it
  bool finished = false;  // the gateway is done with this connection
};

class TlsGateway {
 public:
  // Binds and starts listening; throws std::runtime_error on failure.
  explicit TlsGateway(GatewayOptions options);
  ~TlsGateway();
  TlsGateway(const TlsGateway&) = delete;
  TlsGateway& operator=(const TlsGateway&) = delete;

  uint16_t Port() const { return port_; }
  std::vector<ConnectionRecord> Connections() const;
  // Waits (real time) until connection `index` is finished.
  bool WaitFinished(size_t index, int timeoutMs = 10000) const;
  bool WaitConnections(size_t n, int timeoutMs = 10000) const;
  // The script of connections accepted from now on.
  void SetScript(std::vector<Action> script);
  // The certificate (and chain) of connections accepted from now on.
  void SetCertificate(std::shared_ptr<const TestCert> cert, std::vector<std::shared_ptr<const TestCert>> chain = {});

 private:
  void Loop();
  void Serve(platform::UniqueFd fd, size_t index);
  bool ServeProxy(int fd, size_t index);
  void ServeTls(int fd, size_t index, const std::vector<Action>& script);
  // The current certificate and chain on ssl; recorded for connection index.
  bool UseCertificate(SSL* ssl, size_t index);
  // Waits for the first byte after the handshake; true when it starts HTTP.
  bool FirstByteIsHttp(SSL* ssl);
  template <typename F>
  void Update(size_t index, F change);

  GatewayOptions options_;
  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> ctx_{nullptr, SSL_CTX_free};
  platform::UniqueFd listen_;
  uint16_t port_ = 0;
  platform::Event stop_{platform::Event::Reset::Manual};
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<ConnectionRecord> records_;
  std::thread thread_;
};

}  // namespace vqgw
