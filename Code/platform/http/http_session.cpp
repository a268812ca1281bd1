#include "platform/http/http_session.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cctype>
#include <mutex>

namespace platform::http {
namespace {

bool SameIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::string_view HeaderName(std::string_view line) { return line.substr(0, line.find(':')); }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' || text.back() == '\n'))
    text.remove_suffix(1);
  return text;
}

// The kind of a verification error the request may ignore; 0 for the rest.
uint32_t IgnorableKind(int error) {
  switch (error) {
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_UNTRUSTED:
      return SECURITY_FLAG_IGNORE_UNKNOWN_CA;
    case X509_V_ERR_CERT_NOT_YET_VALID:
    case X509_V_ERR_CERT_HAS_EXPIRED:
      return SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      return SECURITY_FLAG_IGNORE_CERT_CN_INVALID;
    default:
      return 0;
  }
}

int SessionIndex() {
  static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

struct Session::Handle {
  CURL* curl = nullptr;
  ~Handle() {
    if (curl != nullptr) curl_easy_cleanup(curl);
  }
};

struct Session::Transfer {
  const Request* request = nullptr;
  const BodySink* sink = nullptr;
  SessionOptions* options = nullptr;
  CURL* curl = nullptr;
  Response* response = nullptr;
  bool newAnswer = true;  // the next header line starts an answer
  // Verification of the connection made for this request.
  uint32_t certErrors = 0;
  std::string verifyFailure;
  bool clientCertFailed = false;
  // Stall and cancel watch.
  int64_t lastMoveMs = 0;
  curl_off_t lastBytes = -1;
  bool stalled = false;
  bool cancelled = false;
  bool sinkRefused = false;
};

namespace {

Session::Transfer* TransferOf(SSL* ssl) {
  return static_cast<Session::Transfer*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), SessionIndex()));
}

bool NameMatches(X509* cert, const std::string& host) {
  if (host.find(':') != std::string::npos || std::all_of(host.begin(), host.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c)) || c == '.';
      })) {
    return X509_check_ip_asc(cert, host.c_str(), 0) == 1;
  }
  return X509_check_host(cert, host.data(), host.size(), 0, nullptr) == 1;
}

bool PeerAddress(CURL* curl, sockaddr_storage& peer) {
  char* ip = nullptr;
  long port = 0;
  if (curl_easy_getinfo(curl, CURLINFO_PRIMARY_IP, &ip) != CURLE_OK || ip == nullptr ||
      curl_easy_getinfo(curl, CURLINFO_PRIMARY_PORT, &port) != CURLE_OK) {
    return false;
  }
  auto* v4 = reinterpret_cast<sockaddr_in*>(&peer);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&peer);
  if (::inet_pton(AF_INET, ip, &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<uint16_t>(port));
    return true;
  }
  if (::inet_pton(AF_INET6, ip, &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<uint16_t>(port));
    return true;
  }
  return false;
}

int VerifyCallback(int preverified, X509_STORE_CTX* store) {
  SSL* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
  Session::Transfer* t = ssl != nullptr ? TransferOf(ssl) : nullptr;
  if (t == nullptr || t->request == nullptr) return 0;
  const Request& request = *t->request;
  if (preverified == 0) {
    const int error = X509_STORE_CTX_get_error(store);
    const uint32_t kind = IgnorableKind(error);
    if (kind == 0 || (request.ignoreCertErrors & kind) == 0) {
      t->verifyFailure = X509_verify_cert_error_string(error);
      return 0;
    }
    t->certErrors |= kind;
    return 1;
  }
  if (X509_STORE_CTX_get_error_depth(store) != 0) return 1;

  // The leaf, after every check of the chain: the name, then the last word
  // on a certificate that passed only by ignored errors.
  X509* leaf = X509_STORE_CTX_get_current_cert(store);
  if (!NameMatches(leaf, request.url.host)) {
    if ((request.ignoreCertErrors & SECURITY_FLAG_IGNORE_CERT_CN_INVALID) == 0) {
      t->verifyFailure = "certificate name does not match the host";
      return 0;
    }
    t->certErrors |= SECURITY_FLAG_IGNORE_CERT_CN_INVALID;
  }
  if (t->certErrors != 0 && request.untrustedCert) {
    // The library's own I/O layer stands between the socket and TLS: the
    // address comes from the transfer.
    sockaddr_storage peer{};
    if (!PeerAddress(t->curl, peer)) {
      t->verifyFailure = "no peer address";
      return 0;
    }
    const int derLength = i2d_X509(leaf, nullptr);
    if (derLength <= 0) return 0;
    std::vector<uint8_t> der(static_cast<size_t>(derLength));
    uint8_t* out = der.data();
    i2d_X509(leaf, &out);
    if (!request.untrustedCert(peer, der)) {
      t->verifyFailure = "server certificate refused";
      return 0;
    }
  }
  return 1;
}

int ClientCertCallback(SSL* ssl, X509** x509, EVP_PKEY** pkey) {
  Session::Transfer* t = TransferOf(ssl);
  if (t == nullptr || t->request == nullptr) return 0;
  ClientCertificate chosen;
  if (!t->request->clientCert || !t->request->clientCert(chosen) || !chosen.cert || !chosen.key) {
    t->clientCertFailed = true;
    return 0;
  }
  *x509 = chosen.cert.release();
  *pkey = chosen.key.release();
  return 1;
}

CURLcode SslCtxFunction(CURL*, void* sslCtx, void* userData) {
  auto* t = static_cast<Session::Transfer*>(userData);
  SSL_CTX* ctx = static_cast<SSL_CTX*>(sslCtx);
  if (t->options->trust) {
    SSL_CTX_set1_cert_store(ctx, t->options->trust.get());
  } else {
    SSL_CTX_set_cert_store(ctx, X509_STORE_new());
  }
  // A self-signed certificate's own signature is checked too: a broken one
  // never passes, whatever the request ignores.
  X509_STORE_set_flags(SSL_CTX_get_cert_store(ctx), X509_V_FLAG_CHECK_SS_SIGNATURE);
  SSL_CTX_set_ex_data(ctx, SessionIndex(), t);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, VerifyCallback);
  SSL_CTX_set_client_cert_cb(ctx, ClientCertCallback);
  t->certErrors = 0;
  t->verifyFailure.clear();
  return CURLE_OK;
}

size_t HeaderFunction(char* data, size_t size, size_t count, void* userData) {
  auto* t = static_cast<Session::Transfer*>(userData);
  const size_t n = size * count;
  const std::string_view line(data, n);
  if (t->newAnswer || line.substr(0, 5) == "HTTP/") {
    t->response->rawHeaders.clear();
    t->newAnswer = false;
  }
  t->response->rawHeaders.append(line);
  if (line == "\r\n" || line == "\n") t->newAnswer = true;
  const size_t colon = line.find(':');
  if (colon != std::string_view::npos && SameIgnoringCase(line.substr(0, colon), "Set-Cookie")) {
    t->options->cookies->TakeSetCookie(t->request->url.Origin(), Trim(line.substr(colon + 1)));
  }
  return n;
}

size_t WriteFunction(char* data, size_t size, size_t count, void* userData) {
  auto* t = static_cast<Session::Transfer*>(userData);
  const size_t n = size * count;
  long status = 0;
  curl_easy_getinfo(t->curl, CURLINFO_RESPONSE_CODE, &status);
  if (t->sink != nullptr && *t->sink && !(*t->sink)(status, std::string_view(data, n))) {
    t->sinkRefused = true;
    return n == 0 ? 1 : 0;
  }
  return n;
}

int XferInfoFunction(void* userData, curl_off_t dlTotal, curl_off_t dlNow, curl_off_t ulTotal, curl_off_t ulNow) {
  (void)dlTotal;
  (void)ulTotal;
  auto* t = static_cast<Session::Transfer*>(userData);
  if (t->options->cancel != nullptr && t->options->cancel->IsSet()) {
    t->cancelled = true;
    return 1;
  }
  const int64_t now = t->options->clock->NowMs();
  const curl_off_t bytes = dlNow + ulNow;
  if (bytes != t->lastBytes) {
    t->lastBytes = bytes;
    t->lastMoveMs = now;
    return 0;
  }
  if (now - t->lastMoveMs >= t->options->stallLimitMs) {
    t->stalled = true;
    return 1;
  }
  return 0;
}

struct SlistFree {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

}  // namespace

std::string Response::Header(std::string_view name) const {
  std::string_view rest = rawHeaders;
  while (!rest.empty()) {
    const size_t end = rest.find('\n');
    const std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
    const size_t colon = line.find(':');
    if (colon != std::string_view::npos && SameIgnoringCase(line.substr(0, colon), name)) {
      return std::string(Trim(line.substr(colon + 1)));
    }
  }
  return {};
}

Session::Session(SessionOptions options) : options_(std::move(options)), handle_(std::make_unique<Handle>()),
                                           transfer_(std::make_unique<Transfer>()) {
  GlobalInit();
  handle_->curl = curl_easy_init();
}

Session::~Session() = default;

Response Session::Send(const Request& request, const BodySink& sink) {
  Response response;
  CURL* curl = handle_->curl;
  if (curl == nullptr) {
    response.error = Error::Protocol;
    response.errorText = "no transfer handle";
    return response;
  }
  // Reset keeps the connection cache: the next request to the same server
  // goes over the same connection.
  curl_easy_reset(curl);
  Transfer& t = *transfer_;
  t = Transfer{};
  t.request = &request;
  t.sink = &sink;
  t.options = &options_;
  t.curl = curl;
  t.response = &response;

  // Headers, each only when new; the process's cookies of this server.
  std::vector<std::string> headers;
  auto has = [&](std::string_view name) {
    return std::any_of(headers.begin(), headers.end(),
                       [&](const std::string& h) { return SameIgnoringCase(HeaderName(h), name); });
  };
  for (const std::string& header : request.headers) {
    if (header.find_first_of("\r\n") != std::string::npos || header.find(':') == std::string::npos) continue;
    if (!has(HeaderName(header))) headers.push_back(header);
  }
  const auto stored = options_.cookies->For(request.url.Origin());
  if (!stored.empty()) {
    auto cookie = std::find_if(headers.begin(), headers.end(),
                               [](const std::string& h) { return SameIgnoringCase(HeaderName(h), "Cookie"); });
    std::string value = cookie != headers.end() ? std::string(Trim(std::string_view(*cookie).substr(7))) : "";
    for (const auto& [name, v] : stored) {
      const std::string mark = name + "=";
      bool named = value.compare(0, mark.size(), mark) == 0 || value.find("; " + mark) != std::string::npos ||
                   value.find(";" + mark) != std::string::npos;
      if (named) continue;
      if (!value.empty()) value += "; ";
      value += mark + v;
    }
    if (cookie != headers.end()) {
      *cookie = "Cookie: " + value;
    } else {
      headers.push_back("Cookie: " + value);
    }
  }
  // Nothing of the library's own unless asked for.
  if (!has("Expect")) headers.push_back("Expect:");
  std::unique_ptr<curl_slist, SlistFree> list;
  for (const std::string& header : headers) {
    curl_slist* grown = curl_slist_append(list.get(), header.c_str());
    if (grown == nullptr) {
      response.error = Error::Protocol;
      response.errorText = "out of memory";
      return response;
    }
    (void)list.release();
    list.reset(grown);
  }

  char errorBuffer[CURL_ERROR_SIZE] = "";
  const std::string url = request.url.Text();
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list.get());
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(options_.connectTimeoutMs));
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, HeaderFunction);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &t);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, WriteFunction);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &t);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, XferInfoFunction);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &t);
  // Our verify callback decides alone; no session is resumed past it.
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
  curl_easy_setopt(curl, CURLOPT_SSL_SESSIONID_CACHE, 0L);
  curl_easy_setopt(curl, CURLOPT_SSL_CTX_FUNCTION, SslCtxFunction);
  curl_easy_setopt(curl, CURLOPT_SSL_CTX_DATA, &t);
  if (request.method == "GET") {
    curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
  } else if (request.method == "POST") {
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
  } else {
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.method.c_str());
  }
  if (!request.body.empty() || request.method == "POST") {
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.body.data());
  }

  CURLcode code = CURLE_OK;
  for (int attempt = 0;; ++attempt) {
    t.lastMoveMs = options_.clock->NowMs();
    t.lastBytes = -1;
    code = curl_easy_perform(curl);
    curl_off_t connectTime = 0;
    curl_easy_getinfo(curl, CURLINFO_CONNECT_TIME_T, &connectTime);
    const bool noConnection =
        code == CURLE_COULDNT_CONNECT || (code == CURLE_OPERATION_TIMEDOUT && connectTime == 0);
    if (!noConnection || attempt >= options_.connectRetries) break;
    if (!options_.clock->SleepFor(options_.connectBackoffMs, options_.cancel)) {
      t.cancelled = true;
      code = CURLE_ABORTED_BY_CALLBACK;
      break;
    }
  }
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &response.status);
  response.certErrors = t.certErrors;
  // Nothing of this request may be reached after it returns.
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
  t.request = nullptr;
  t.sink = nullptr;
  t.response = nullptr;
  if (code == CURLE_OK) return response;

  response.errorText = errorBuffer[0] != '\0' ? errorBuffer : curl_easy_strerror(code);
  if (t.cancelled) {
    response.error = Error::Cancelled;
  } else if (t.stalled) {
    response.error = Error::Stalled;
  } else if (t.sinkRefused || code == CURLE_WRITE_ERROR) {
    response.error = Error::Sink;
  } else if (t.clientCertFailed) {
    response.error = Error::ClientCert;
  } else if (!t.verifyFailure.empty()) {
    response.error = Error::Tls;
    response.errorText = t.verifyFailure;
  } else {
    switch (code) {
      case CURLE_COULDNT_CONNECT:
      case CURLE_COULDNT_RESOLVE_HOST:
      case CURLE_COULDNT_RESOLVE_PROXY:
      case CURLE_OPERATION_TIMEDOUT:
        response.error = Error::Connect;
        break;
      case CURLE_SSL_CONNECT_ERROR:
      case CURLE_PEER_FAILED_VERIFICATION:
      case CURLE_SSL_CERTPROBLEM:
        response.error = Error::Tls;
        break;
      case CURLE_PARTIAL_FILE:
        response.error = Error::Truncated;
        break;
      default:
        response.error = Error::Protocol;
        break;
    }
  }
  return response;
}

}  // namespace platform::http
