#include "gateway/tls_gateway.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <algorithm>
#include <stdexcept>

#include "gateway/next_connection.h"

namespace vqgw {
namespace {

constexpr int kIoSliceMs = 50;
constexpr int kHandshakeLimitMs = 10000;
constexpr int kReadLimitMs = 10000;
constexpr size_t kMaxProxyRequest = 8192;
constexpr int kSplitPauseMs = 30;

using Clock = std::chrono::steady_clock;

bool Before(Clock::time_point deadline) { return Clock::now() < deadline; }

Bytes DerOf(X509* cert) {
  const int length = i2d_X509(cert, nullptr);
  if (length <= 0) return {};
  Bytes der(static_cast<size_t>(length));
  uint8_t* out = der.data();
  i2d_X509(cert, &out);
  return der;
}

bool IsOkStatus(const std::string& firstWrite) {
  // "HTTP/1.x 2.."
  return firstWrite.size() > 9 && firstWrite.compare(0, 7, "HTTP/1.") == 0 && firstWrite[9] == '2';
}

// The portal's view of a TLS connection.
class TlsPortalStream final : public PortalStream {
 public:
  explicit TlsPortalStream(SSL* ssl) : ssl_(ssl) {}
  int Read(void* buffer, size_t size) override {
    ERR_clear_error();
    const int n = SSL_read(ssl_, buffer, static_cast<int>(size));
    if (n > 0) return n;
    const int error = SSL_get_error(ssl_, n);
    return error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE ? 0 : -1;
  }
  bool Write(const void* data, size_t size) override {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
      ERR_clear_error();
      const int n = SSL_write(ssl_, p, static_cast<int>(std::min<size_t>(size, 16384)));
      if (n <= 0) {
        const int error = SSL_get_error(ssl_, n);
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) continue;
        return false;
      }
      p += n;
      size -= static_cast<size_t>(n);
    }
    return true;
  }

 private:
  SSL* ssl_;
};

}  // namespace

bool TlsGateway::FirstByteIsHttp(SSL* ssl) {
  const auto end = Clock::now() + std::chrono::milliseconds(kReadLimitMs);
  while (!stop_.IsSet() && Before(end)) {
    uint8_t first = 0;
    ERR_clear_error();
    const int n = SSL_peek(ssl, &first, 1);
    if (n == 1) return StartsHttp(first);
    const int error = SSL_get_error(ssl, n);
    if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) return false;
  }
  return false;
}

Action Action::Send(const Bytes& bytes) {
  Action a;
  a.writes = {bytes};
  return a;
}

Action Action::Stall(int ms) {
  Action a;
  a.kind = Kind::Stall;
  a.count = ms;
  return a;
}

Action Action::Read(int messages) {
  Action a;
  a.kind = Kind::ReadMessages;
  a.count = messages;
  return a;
}

Action Action::Close(bool withCloseNotify) {
  Action a;
  a.kind = Kind::Close;
  a.closeNotify = withCloseNotify;
  return a;
}

Action Action::Respond(Responder responder, int answers) {
  Action a;
  a.kind = Kind::Respond;
  a.count = answers;
  a.responder = std::move(responder);
  return a;
}

Action Action::SendSplit(const Bytes& bytes, int parts) {
  Action a;
  a.kind = Kind::Write;
  const size_t n = parts > 0 ? static_cast<size_t>(parts) : 1;
  const size_t step = (bytes.size() + n - 1) / n;
  for (size_t at = 0; at < bytes.size(); at += step) {
    a.writes.emplace_back(bytes.begin() + at, bytes.begin() + std::min(bytes.size(), at + step));
  }
  return a;
}

Action Action::SendCoalesced(const std::vector<Bytes>& messages) {
  Bytes all;
  for (const Bytes& m : messages) all.insert(all.end(), m.begin(), m.end());
  return Send(all);
}

std::vector<std::string> ProxyReplyOk() { return {"HTTP/1.0 200 Connection established\r\n\r\n"}; }

std::vector<std::string> ProxyReplyLong() {
  // Far longer than one small read: headers a real proxy might add.
  std::string reply = "HTTP/1.1 200 Connection established\r\n";
  for (int i = 0; i < 40; ++i) {
    reply += "X-Proxy-Note-" + std::to_string(i) + ": " + std::string(64, static_cast<char>('a' + i % 26)) + "\r\n";
  }
  reply += "Proxy-Agent: test-gateway\r\n\r\n";
  return {reply};
}

std::vector<std::string> ProxyReplySplit() {
  return {"HTTP/1.1 2", "00 Connection established\r\nProxy-Agent: te", "st-gateway\r\n", "\r", "\n"};
}

std::vector<std::string> ProxyReply407() {
  return {"HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=\"test\"\r\n"
          "Content-Length: 0\r\n\r\n"};
}

TlsGateway::TlsGateway(GatewayOptions options) : options_(std::move(options)) {
  // A client that hangs up must not kill the test process.
  std::signal(SIGPIPE, SIG_IGN);
  if (!options_.cert) options_.cert = MakeTestCert(CertKind::Valid);

  ctx_.reset(SSL_CTX_new(TLS_server_method()));
  if (!ctx_) throw std::runtime_error("gateway: SSL_CTX_new");
  if (SSL_CTX_use_certificate(ctx_.get(), options_.cert->cert.get()) != 1 ||
      SSL_CTX_use_PrivateKey(ctx_.get(), options_.cert->key.get()) != 1) {
    throw std::runtime_error("gateway: certificate");
  }
  if (options_.minVersion != 0) {
    SSL_CTX_set_min_proto_version(ctx_.get(), options_.minVersion);
    if (options_.minVersion < TLS1_2_VERSION) {
      SSL_CTX_set_cipher_list(ctx_.get(), "DEFAULT:@SECLEVEL=0");
      SSL_CTX_set_security_level(ctx_.get(), 0);
    }
  }
  if (options_.maxVersion != 0) SSL_CTX_set_max_proto_version(ctx_.get(), options_.maxVersion);
  if (options_.clientCa) {
    if (X509_STORE_add_cert(SSL_CTX_get_cert_store(ctx_.get()), options_.clientCa.get()) != 1) {
      throw std::runtime_error("gateway: client CA");
    }
    SSL_CTX_set_verify(ctx_.get(), SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
  }

  listen_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!listen_.valid()) throw std::runtime_error("gateway: socket");
  const int one = 1;
  ::setsockopt(listen_.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(options_.port);
  if (::inet_pton(AF_INET, options_.address.c_str(), &addr.sin_addr) != 1) {
    throw std::runtime_error("gateway: address " + options_.address);
  }
  if (::bind(listen_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      ::listen(listen_.get(), 16) != 0) {
    throw std::runtime_error("gateway: bind/listen");
  }
  socklen_t length = sizeof(addr);
  ::getsockname(listen_.get(), reinterpret_cast<sockaddr*>(&addr), &length);
  port_ = ntohs(addr.sin_port);
  thread_ = std::thread([this] { Loop(); });
}

TlsGateway::~TlsGateway() {
  stop_.Set();
  thread_.join();
}

std::vector<ConnectionRecord> TlsGateway::Connections() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return records_;
}

bool TlsGateway::WaitFinished(size_t index, int timeoutMs) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [&] { return index < records_.size() && records_[index].finished; });
}

bool TlsGateway::WaitConnections(size_t n, int timeoutMs) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return records_.size() >= n; });
}

void TlsGateway::SetScript(std::vector<Action> script) {
  std::lock_guard<std::mutex> lock(mutex_);
  options_.script = std::move(script);
}

void TlsGateway::SetCertificate(std::shared_ptr<const TestCert> cert,
                                std::vector<std::shared_ptr<const TestCert>> chain) {
  std::lock_guard<std::mutex> lock(mutex_);
  options_.cert = std::move(cert);
  options_.chain = std::move(chain);
}

template <typename F>
void TlsGateway::Update(size_t index, F change) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    change(records_[index]);
  }
  changed_.notify_all();
}

void TlsGateway::Loop() {
  while (!stop_.IsSet()) {
    std::optional<platform::UniqueFd> next = NextConnection(listen_.get(), stop_);
    if (!next) return;
    platform::UniqueFd fd = std::move(*next);
    if (!fd.valid()) continue;
    size_t index = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ConnectionRecord record;
      socklen_t length = sizeof(record.peer);
      ::getpeername(fd.get(), reinterpret_cast<sockaddr*>(&record.peer), &length);
      length = sizeof(record.local);
      ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&record.local), &length);
      records_.push_back(record);
      index = records_.size() - 1;
    }
    changed_.notify_all();
    Serve(std::move(fd), index);
    Update(index, [](ConnectionRecord& r) { r.finished = true; });
  }
}

void TlsGateway::Serve(platform::UniqueFd fd, size_t index) {
  // Blocking I/O in short slices, so that every wait notices the stop event.
  timeval slice{0, kIoSliceMs * 1000};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &slice, sizeof(slice));
  ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &slice, sizeof(slice));

  std::vector<Action> script;
  bool silent = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    script = options_.script;
    silent = options_.silent;
  }
  if (options_.proxy && !ServeProxy(fd.get(), index)) return;
  if (silent) {
    // Accept TCP, never speak: read and drop until the client leaves.
    char sink[512];
    while (!stop_.IsSet()) {
      const ssize_t n = ::recv(fd.get(), sink, sizeof(sink), 0);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) break;
    }
    return;
  }
  ServeTls(fd.get(), index, script);
}

bool TlsGateway::ServeProxy(int fd, size_t index) {
  std::string request;
  while (!stop_.IsSet() && request.size() < kMaxProxyRequest &&
         !(request.size() >= 4 && request.compare(request.size() - 4, 4, "\r\n\r\n") == 0)) {
    char c = 0;
    const ssize_t n = ::recv(fd, &c, 1, 0);
    if (n == 1) {
      request += c;
    } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
      break;
    }
  }
  Update(index, [&](ConnectionRecord& r) { r.proxyRequest = request; });

  const std::vector<std::string>& reply = options_.proxyReply;
  for (size_t i = 0; i < reply.size(); ++i) {
    if (i > 0 && stop_.Wait(kSplitPauseMs)) return false;
    if (::send(fd, reply[i].data(), reply[i].size(), MSG_NOSIGNAL) != static_cast<ssize_t>(reply[i].size())) {
      return false;
    }
  }
  if (!reply.empty() && IsOkStatus(reply[0])) return true;

  // Refused: whatever the client sends now would be a handshake it should not try.
  size_t extra = 0;
  char sink[512];
  while (!stop_.IsSet()) {
    const ssize_t n = ::recv(fd, sink, sizeof(sink), 0);
    if (n > 0) {
      extra += static_cast<size_t>(n);
    } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
      break;
    }
  }
  Update(index, [&](ConnectionRecord& r) { r.bytesAfterProxyRefusal = extra; });
  return false;
}

bool TlsGateway::UseCertificate(SSL* ssl, size_t index) {
  std::shared_ptr<const TestCert> cert;
  std::vector<std::shared_ptr<const TestCert>> chain;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (options_.newCertEachConnection && index > 0) {
      options_.cert = MakeTestCert(CertKind::Valid);
      options_.chain.clear();
    }
    cert = options_.cert;
    chain = options_.chain;
  }
  if (SSL_use_certificate(ssl, cert->cert.get()) != 1 || SSL_use_PrivateKey(ssl, cert->key.get()) != 1 ||
      SSL_clear_chain_certs(ssl) != 1) {
    return false;
  }
  for (const auto& link : chain) {
    if (SSL_add1_chain_cert(ssl, link->cert.get()) != 1) return false;
  }
  Update(index, [&](ConnectionRecord& r) { r.serverCertDer = cert->Der(); });
  return true;
}

void TlsGateway::ServeTls(int fd, size_t index, const std::vector<Action>& script) {
  std::unique_ptr<SSL, decltype(&SSL_free)> ssl(SSL_new(ctx_.get()), SSL_free);
  if (!ssl || SSL_set_fd(ssl.get(), fd) != 1) return;
  if (!UseCertificate(ssl.get(), index)) return;

  const auto handshakeEnd = Clock::now() + std::chrono::milliseconds(kHandshakeLimitMs);
  for (;;) {
    ERR_clear_error();
    const int ret = SSL_accept(ssl.get());
    if (ret == 1) break;
    const int error = SSL_get_error(ssl.get(), ret);
    if ((error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) && !stop_.IsSet() && Before(handshakeEnd)) {
      continue;
    }
    const char* reason = ERR_reason_error_string(ERR_peek_error());
    const std::string why = reason != nullptr ? reason : "";
    Update(index, [&](ConnectionRecord& r) { r.handshakeError = why; });
    return;
  }
  Bytes clientCert;
  if (X509* peer = SSL_get0_peer_certificate(ssl.get())) clientCert = DerOf(peer);
  Update(index, [&](ConnectionRecord& r) {
    r.handshakeDone = true;
    r.tlsVersion = SSL_version(ssl.get());
    r.clientCertDer = std::move(clientCert);
  });

  if (options_.portal && FirstByteIsHttp(ssl.get())) {
    Update(index, [](ConnectionRecord& r) { r.http = true; });
    TlsPortalStream stream(ssl.get());
    stream.tls = true;
    stream.clientCertDer = Connections()[index].clientCertDer;
    options_.portal->Serve(stream, stop_);
    SSL_shutdown(ssl.get());
    return;
  }

  StreamReader reader;
  // Reads once; false when the connection ended (recorded).
  auto readOnce = [&]() -> bool {
    uint8_t buffer[16384];
    ERR_clear_error();
    const int n = SSL_read(ssl.get(), buffer, sizeof(buffer));
    if (n > 0) {
      reader.Feed(std::span<const uint8_t>(buffer, static_cast<size_t>(n)));
      while (auto message = reader.Next()) {
        std::optional<KeyRequest> key = DecodeKeyRequest(*message);
        Update(index, [&](ConnectionRecord& r) {
          r.received.push_back(*message);
          if (key) r.keyRequests.push_back(std::move(*key));
        });
      }
      return !reader.Broken();
    }
    const int error = SSL_get_error(ssl.get(), n);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) return true;
    const bool notify = error == SSL_ERROR_ZERO_RETURN;
    Update(index, [&](ConnectionRecord& r) {
      r.peerClosed = true;
      r.peerSentCloseNotify = notify;
    });
    return false;
  };
  auto receivedCount = [&] {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_[index].received.size();
  };
  auto receivedAt = [&](size_t i) {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_[index].received[i];
  };
  auto write = [&](const Bytes& w) {
    return SSL_write(ssl.get(), w.data(), static_cast<int>(w.size())) == static_cast<int>(w.size());
  };

  for (const Action& action : script) {
    switch (action.kind) {
      case Action::Kind::Write:
        for (size_t i = 0; i < action.writes.size(); ++i) {
          // A short pause between the parts of one split message, so they
          // really arrive apart.
          if (i > 0 && stop_.Wait(kSplitPauseMs)) return;
          const Bytes& w = action.writes[i];
          if (!write(w)) return;
        }
        break;
      case Action::Kind::Stall:
        if (stop_.Wait(action.count)) return;
        break;
      case Action::Kind::ReadMessages: {
        const size_t want = receivedCount() + static_cast<size_t>(action.count);
        const auto end = Clock::now() + std::chrono::milliseconds(kReadLimitMs);
        while (receivedCount() < want) {
          if (stop_.IsSet() || !Before(end) || !readOnce()) return;
        }
        break;
      }
      case Action::Kind::Respond: {
        size_t next = receivedCount();
        int answered = 0;
        while (action.count < 0 || answered < action.count) {
          if (next == receivedCount()) {
            if (stop_.IsSet() || !readOnce()) return;
            continue;
          }
          const std::optional<Message> request = Decode(receivedAt(next++));
          if (!request) continue;
          const std::vector<Bytes> replies = action.responder(*request);
          for (const Bytes& reply : replies) {
            if (!write(reply)) return;
          }
          if (!replies.empty()) ++answered;
        }
        break;
      }
      case Action::Kind::Close:
        if (action.closeNotify) SSL_shutdown(ssl.get());
        return;
    }
  }
  // Hold the connection until the client closes it.
  while (!stop_.IsSet() && readOnce()) {
  }
}

}  // namespace vqgw
