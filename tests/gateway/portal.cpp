#include "gateway/portal.h"

#include <arpa/inet.h>
#include <openssl/rand.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "gateway/next_connection.h"

namespace vqgw {
namespace {

constexpr size_t kMaxHead = 64 * 1024;
constexpr size_t kMaxBody = 16 * 1024 * 1024;
constexpr int kIdleMs = 10000;
constexpr int kSliceMs = 50;
constexpr char kSessionCookie[] = "portal_session";

using Clock = std::chrono::steady_clock;

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Trim(const std::string& text) {
  size_t a = 0, b = text.size();
  while (a < b && (text[a] == ' ' || text[a] == '\t')) ++a;
  while (b > a && (text[b - 1] == ' ' || text[b - 1] == '\t' || text[b - 1] == '\r')) --b;
  return text.substr(a, b - a);
}

std::string PercentDecode(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

const char* Reason(int status) {
  switch (status) {
    case 200: return "OK";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 303: return "See Other";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    default: return "Status";
  }
}

// Reads from a stream with a buffer of what came beyond the last request.
class Reader {
 public:
  Reader(PortalStream& stream, const platform::Event& stop) : stream_(stream), stop_(stop) {}

  // The request head up to and without its blank line; false when the
  // client went, too much came, or nothing came within the idle time.
  bool Head(std::string& head) {
    const auto idleEnd = Clock::now() + std::chrono::milliseconds(kIdleMs);
    for (;;) {
      const size_t end = buffer_.find("\r\n\r\n");
      if (end != std::string::npos) {
        head = buffer_.substr(0, end + 2);
        buffer_.erase(0, end + 4);
        return true;
      }
      if (buffer_.size() > kMaxHead || Clock::now() > idleEnd || !More()) return false;
    }
  }
  bool Exactly(size_t n, std::string& out) {
    while (buffer_.size() < n) {
      if (!More()) return false;
    }
    out.append(buffer_, 0, n);
    buffer_.erase(0, n);
    return true;
  }
  bool Line(std::string& line) {
    for (;;) {
      const size_t end = buffer_.find("\r\n");
      if (end != std::string::npos) {
        line = buffer_.substr(0, end);
        buffer_.erase(0, end + 2);
        return true;
      }
      if (buffer_.size() > kMaxHead || !More()) return false;
    }
  }

 private:
  bool More() {
    if (stop_.IsSet()) return false;
    char chunk[16384];
    const int n = stream_.Read(chunk, sizeof(chunk));
    if (n < 0) return false;
    buffer_.append(chunk, static_cast<size_t>(n));
    return true;
  }
  PortalStream& stream_;
  const platform::Event& stop_;
  std::string buffer_;
};

bool ReadBody(Reader& reader, const PortalRequest& request, std::string& body) {
  const std::string length = request.Header("Content-Length");
  if (Lower(request.Header("Transfer-Encoding")).find("chunked") != std::string::npos) {
    for (;;) {
      std::string line;
      if (!reader.Line(line)) return false;
      size_t size = 0;
      try {
        size = std::stoul(line.substr(0, line.find(';')), nullptr, 16);
      } catch (...) {
        return false;
      }
      if (body.size() + size > kMaxBody) return false;
      if (size == 0) {
        // Trailers up to the blank line.
        while (reader.Line(line) && !line.empty()) {
        }
        return true;
      }
      std::string crlf;
      if (!reader.Exactly(size, body) || !reader.Exactly(2, crlf) || crlf != "\r\n") return false;
    }
  }
  if (length.empty()) return true;
  size_t size = 0;
  try {
    size = std::stoul(length);
  } catch (...) {
    return false;
  }
  return size <= kMaxBody && reader.Exactly(size, body);
}

std::string RandomToken() {
  uint8_t bytes[16];
  RAND_bytes(bytes, sizeof(bytes));
  static const char* hex = "0123456789abcdef";
  std::string out;
  for (uint8_t b : bytes) {
    out += hex[b >> 4];
    out += hex[b & 15];
  }
  return out;
}

// Writes the reply; false when the connection must end after it.
bool WriteReply(PortalStream& stream, const PortalReply& reply, bool keepAlive, const platform::Event& stop) {
  std::string head = "HTTP/1.1 " + std::to_string(reply.status) + " " + Reason(reply.status) + "\r\n";
  for (const std::string& h : reply.headers) head += h + "\r\n";
  switch (reply.framing) {
    case PortalReply::Framing::Length:
      head += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
      break;
    case PortalReply::Framing::Chunked:
      head += "Transfer-Encoding: chunked\r\n";
      break;
    case PortalReply::Framing::Close:
      keepAlive = false;
      break;
  }
  if (!keepAlive) head += "Connection: close\r\n";
  head += "\r\n";
  if (!stream.Write(head.data(), head.size())) return false;
  // A stall inside the body: its first bytes, then the pause, then the rest.
  const size_t before =
      reply.framing == PortalReply::Framing::Chunked ? 0 : std::min(reply.stallAfter, reply.body.size());
  if (before > 0 && !stream.Write(reply.body.data(), before)) return false;
  if (reply.stallMs > 0 && stop.Wait(reply.stallMs)) return false;

  const size_t limit = std::min(reply.cutAfter, reply.body.size());
  const bool cut = reply.cutAfter != std::string::npos && reply.cutAfter < reply.body.size();
  if (reply.framing == PortalReply::Framing::Chunked) {
    const size_t step = std::max<size_t>(1, reply.chunkBytes);
    for (size_t at = 0; at < reply.body.size(); at += step) {
      const size_t n = std::min(step, reply.body.size() - at);
      char size[32];
      std::snprintf(size, sizeof(size), "%zx\r\n", n);
      std::string chunk = size + reply.body.substr(at, n) + "\r\n";
      if (cut && at + n > limit) {
        // Only the body bytes before the cut, inside the chunk.
        const size_t keep = std::string(size).size() + (limit - at);
        stream.Write(chunk.data(), keep);
        return false;
      }
      if (!stream.Write(chunk.data(), chunk.size())) return false;
    }
    if (!stream.Write("0\r\n\r\n", 5)) return false;
  } else {
    if (limit > before && !stream.Write(reply.body.data() + before, limit - before)) return false;
    if (cut) return false;
  }
  return keepAlive;
}

}  // namespace

std::string PortalRequest::Header(const std::string& name) const {
  std::istringstream lines(rawHeaders);
  std::string line;
  const std::string want = Lower(name);
  while (std::getline(lines, line)) {
    const size_t colon = line.find(':');
    if (colon != std::string::npos && Lower(line.substr(0, colon)) == want) return Trim(line.substr(colon + 1));
  }
  return {};
}

bool PortalRequest::HasHeader(const std::string& name) const {
  std::istringstream lines(rawHeaders);
  std::string line;
  const std::string want = Lower(name);
  while (std::getline(lines, line)) {
    const size_t colon = line.find(':');
    if (colon != std::string::npos && Lower(line.substr(0, colon)) == want) return true;
  }
  return false;
}

std::string PortalRequest::Cookie(const std::string& name) const {
  std::istringstream lines(rawHeaders);
  std::string line;
  while (std::getline(lines, line)) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos || Lower(line.substr(0, colon)) != "cookie") continue;
    std::string rest = line.substr(colon + 1);
    size_t at = 0;
    while (at <= rest.size()) {
      const size_t end = std::min(rest.find(';', at), rest.size());
      const std::string pair = Trim(rest.substr(at, end - at));
      const size_t eq = pair.find('=');
      if (eq != std::string::npos && pair.substr(0, eq) == name) return pair.substr(eq + 1);
      at = end + 1;
    }
  }
  return {};
}

PortalReply PortalReply::Body(std::string body, Framing framing) {
  PortalReply reply;
  reply.body = std::move(body);
  reply.framing = framing;
  return reply;
}

PortalReply PortalReply::Status(int status) {
  PortalReply reply;
  reply.status = status;
  reply.body = std::to_string(status) + "\n";
  return reply;
}

PortalReply PortalReply::Redirect(int status, std::string location) {
  PortalReply reply = Status(status);
  if (!location.empty()) reply.headers.push_back("Location: " + location);
  return reply;
}

Portal::Portal(PortalOptions options) : options_(std::move(options)) {}

void Portal::AddRoute(const std::string& path, PortalRoute route) {
  std::lock_guard<std::mutex> lock(mutex_);
  routes_[path] = std::move(route);
}

std::vector<PortalRequest> Portal::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

bool Portal::WaitRequests(size_t n, int timeoutMs) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return requests_.size() >= n; });
}

bool Portal::Authenticated(const PortalRequest& request) const {
  if (options_.sessionUser.empty() && options_.sessionId.empty()) return true;
  const std::string token = request.Cookie(kSessionCookie);
  if (!token.empty() && issuedSessions_.count(token) != 0) return true;
  return PercentDecode(request.Cookie("sslvpn_sess_user")) == options_.sessionUser &&
         request.Cookie("sslvpn_sess_id") == options_.sessionId;
}

PortalReply Portal::FileReply(const std::string& path) const {
  // Folders below the portal's folder, never above it.
  const std::string name = path.substr(path.starts_with("/") ? 1 : 0);
  bool safe = !options_.folder.empty() && !name.empty() && !name.ends_with("/");
  for (size_t start = 0; safe && start <= name.size();) {
    const size_t end = std::min(name.find('/', start), name.size());
    const std::string part = name.substr(start, end - start);
    safe = !part.empty() && part != "." && part != "..";
    start = end + 1;
  }
  struct stat st{};
  const std::string file = options_.folder + "/" + name;
  if (!safe || ::stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return PortalReply::Status(404);
  std::ifstream in(file, std::ios::binary);
  if (!in) return PortalReply::Status(404);
  return PortalReply::Body(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>{}));
}

PortalReply Portal::Answer(PortalRequest& request) {
  PortalRoute route;
  bool found = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    request.authenticated = Authenticated(request);
    auto it = routes_.find(request.Path());
    if (it != routes_.end()) {
      route = it->second;
      found = true;
    }
  }
  if (found && !route.open && !request.authenticated) return PortalReply::Status(401);
  PortalReply reply;
  if (found) {
    reply = route.handler(request);
  } else if (!request.authenticated) {
    reply = PortalReply::Status(401);
  } else {
    reply = FileReply(request.Path());
  }
  if (reply.issueSession) {
    const std::string token = RandomToken();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      issuedSessions_.insert(token);
    }
    reply.headers.push_back(std::string("Set-Cookie: ") + kSessionCookie + "=" + token + "; Path=/");
  }
  return reply;
}

void Portal::Serve(PortalStream& stream, const platform::Event& stop) {
  size_t connection = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    connection = connections_++;
  }
  Reader reader(stream, stop);
  for (;;) {
    std::string head;
    if (!reader.Head(head)) return;
    PortalRequest request;
    request.connection = connection;
    request.tls = stream.tls;
    request.clientCertDer = stream.clientCertDer;
    const size_t lineEnd = head.find("\r\n");
    const std::string requestLine = head.substr(0, lineEnd);
    request.rawHeaders = head.substr(lineEnd + 2);
    std::istringstream words(requestLine);
    std::string version;
    words >> request.method >> request.target >> version;
    const bool wellFormed = !request.method.empty() && !request.target.empty() && request.target[0] == '/' &&
                            version.compare(0, 5, "HTTP/") == 0;
    const bool bodyRead = wellFormed && ReadBody(reader, request, request.body);
    PortalReply reply = bodyRead ? Answer(request) : PortalReply::Status(400);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(request);
    }
    changed_.notify_all();
    const bool keepAlive = bodyRead && version == "HTTP/1.1" && Lower(request.Header("Connection")) != "close";
    if (!WriteReply(stream, reply, keepAlive, stop)) return;
  }
}

namespace {

class SocketStream final : public PortalStream {
 public:
  explicit SocketStream(int fd) : fd_(fd) {}
  int Read(void* buffer, size_t size) override {
    const ssize_t n = ::recv(fd_, buffer, size, 0);
    if (n > 0) return static_cast<int>(n);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
    return -1;
  }
  bool Write(const void* data, size_t size) override {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
      const ssize_t n = ::send(fd_, p, size, MSG_NOSIGNAL);
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
      if (n <= 0) return false;
      p += n;
      size -= static_cast<size_t>(n);
    }
    return true;
  }

 private:
  int fd_;
};

}  // namespace

PortalHttpListener::PortalHttpListener(std::shared_ptr<Portal> portal, const std::string& address, uint16_t port)
    : portal_(std::move(portal)) {
  std::signal(SIGPIPE, SIG_IGN);
  listen_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!listen_.valid()) throw std::runtime_error("portal: socket");
  const int one = 1;
  ::setsockopt(listen_.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  if (::inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1 ||
      ::bind(listen_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      ::listen(listen_.get(), 16) != 0) {
    throw std::runtime_error("portal: bind/listen");
  }
  socklen_t length = sizeof(addr);
  ::getsockname(listen_.get(), reinterpret_cast<sockaddr*>(&addr), &length);
  port_ = ntohs(addr.sin_port);
  thread_ = std::thread([this] { Loop(); });
}

PortalHttpListener::~PortalHttpListener() {
  stop_.Set();
  thread_.join();
}

void PortalHttpListener::Loop() {
  while (!stop_.IsSet()) {
    std::optional<platform::UniqueFd> next = NextConnection(listen_.get(), stop_);
    if (!next) return;
    platform::UniqueFd fd = std::move(*next);
    if (!fd.valid()) continue;
    timeval slice{0, kSliceMs * 1000};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &slice, sizeof(slice));
    SocketStream stream(fd.get());
    portal_->Serve(stream, stop_);
  }
}

}  // namespace vqgw
