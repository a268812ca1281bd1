// GetWebFileWithCookie:
//   1. refuse an executable's name and cookies that would break the header;
//   2. split the URL; offer the portal cookies to the process's store;
//   3. GET with "Accept", "User-Agent" and the portal cookies; the
//      gateway's own certificate passes (unknown authority, name, date)
//      unless the tunnel service stored another one for that gateway; a
//      client certificate from the USB key when the gateway asks;
//   4. 401: 401; 301/302/303: one more GET of Location with only "Accept"
//      (its status, or on to 5 with 200); 200: on to 5; else the status;
//   5. the body goes to a temporary file beside the local file, renamed
//      onto it once the answer ended whole.
#include "Wendle/web_download.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "platform/fd_io.h"
#include "platform/http/http_session.h"
#include "platform/paths/paths.h"
#include "platform/unique_fd.h"
#include "support/cert_settings.h"
#include "support/cryptoapi.h"
#include "support/log.h"
#include "support/registry_helpers.h"
#include "support/server_cert_file.h"
#include "support/text_convert.h"

namespace {

namespace http = platform::http;

constexpr char kUserAgent[] = "User-Agent: Vardenlow Marrowlantern/1.0";
constexpr char kAccept[] = "Accept: */*";
// The cookie store's room for the escaped user name, and for its UTF-8 form.
constexpr size_t kCookieTextBytes = 260;

bool IsRefusedName(const std::string& localFile) {
  if (localFile.size() < 3) return false;
  const std::string last = localFile.substr(localFile.size() - 3);
  for (const char* ext : {"exe", "com", "dll", "bat", "sys", "inf"}) {
    if (last == ext) return true;
  }
  return false;
}

// A cookie value that cannot end its header or start another cookie.
bool CookieSafe(const std::string& text) {
  return std::none_of(text.begin(), text.end(), [](char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7F || c == ';';
  });
}

// The client certificate of the user's settings, its key unlocked first
// with pin when the caller sets one.
bool UsbKeyCertificate(const UsbKeyUnlock& unlock, http::ClientCertificate& out) {
  const std::string logPath = WebDownloadLogPath();
  CertSettings settings{};
  // A missing IsUseDefaultCert counts as set.
  settings.IsUseDefaultCert = 1;
  ReadCertSettings(settings, PRODUCT_SETTINGS_KEY);
  std::string provider;
  platform::crypto::CertContextPtr cert;
  if (settings.IsUseDefaultCert != 0) {
    provider = settings.DefaultCSPName.empty() ? std::string(USB_KEY_PROVIDER_NAME) : Utf8ToAnsi(settings.DefaultCSPName);
    cert = FindCertByCspName(provider);
  } else {
    provider = Utf8ToAnsi(settings.CSPName);
    cert = FindCertBySettings(settings);
  }
  if (!cert) return false;
  if (unlock.setPin) {
    platform::paths::CreateDirectories(logPath.substr(0, logPath.rfind('/')));
    if (SetUsbKeyPin(provider, unlock.pin != nullptr ? unlock.pin : "") == 0) {
      AppendDebugLog(logPath, FormatText("Set USB key PIN failed in %s\n", unlock.caller));
      return false;
    }
    AppendDebugLog(logPath, FormatText("Set USB key PIN successed in %s\n", unlock.caller));
  }
  platform::crypto::X509Ptr x509;
  platform::crypto::EvpPkeyPtr pkey;
  if (cryptoapi_get_cert_key(cert, x509, pkey) <= 0) return false;
  out.cert = std::move(x509);
  out.key = std::move(pkey);
  return true;
}

// The gateway's own certificate passes unless the tunnel service stored
// another one for that address: what is fetched here may be run as root.
bool SameAsStored(const sockaddr_storage& peer, std::span<const uint8_t> der) {
  if (peer.ss_family != AF_INET) return true;
  const uint32_t address = reinterpret_cast<const sockaddr_in&>(peer).sin_addr.s_addr;
  std::vector<uint8_t> stored;
  const int found = ReadStoredServerCert(address, stored);
  if (found == 0) return true;
  if (found > 0 && stored.size() == der.size() && std::equal(der.begin(), der.end(), stored.begin())) return true;
  LogPrint(LOG_ERR, "Suspicious Man-in-Milldle attack: Not the same server certificate\n");
  return false;
}

// The body of a 200 answer, in a temporary file beside the target until
// it is whole.
class PendingFile {
 public:
  explicit PendingFile(std::string target) : target_(std::move(target)) {}
  ~PendingFile() {
    if (!temp_.empty()) ::unlink(temp_.c_str());
  }
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;

  bool Write(std::string_view piece) {
    if (!Open()) return false;
    return platform::WriteFull(fd_.get(), {reinterpret_cast<const uint8_t*>(piece.data()), piece.size()});
  }
  // Closes the file and renames it onto the target.
  bool Commit() {
    if (!Open()) return false;
    // Readable like any file put there, not only by its owner.
    if (::fchmod(fd_.get(), 0644) != 0 || ::fsync(fd_.get()) != 0) return false;
    fd_.reset();
    if (::rename(temp_.c_str(), target_.c_str()) != 0) return false;
    temp_.clear();
    return true;
  }

 private:
  bool Open() {
    if (fd_.valid()) return true;
    if (!temp_.empty()) return false;
    std::string name = target_ + ".XXXXXX";
    fd_.reset(::mkostemp(name.data(), O_CLOEXEC));
    if (!fd_.valid()) return false;
    temp_ = std::move(name);
    return true;
  }

  std::string target_;
  std::string temp_;
  platform::UniqueFd fd_;
};

}  // namespace

std::string WebDownloadLogPath() {
  std::string folder = LogFilePath();
  folder.erase(folder.rfind('/'));
  return folder + "/" + WEB_DOWNLOAD_LOG_NAME;
}

void EscapeUrlText(char* out, const char* in, size_t outSize) {
  if (out == nullptr || outSize == 0) return;
  size_t used = 0;
  for (; in != nullptr && *in != '\0' && outSize - used >= 6; ++in) {
    const unsigned char c = static_cast<unsigned char>(*in);
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.') {
      out[used++] = static_cast<char>(c);
    } else {
      std::snprintf(out + used, outSize - used, "%%%02x", c);
      used += 3;
    }
  }
  out[used] = '\0';
}

int GetWebFileWithCookie(const std::string& url, const std::string& user, const std::string& sessionId,
                         const std::string& localFile, const char* pin, const WebDownloadOptions& options) {
  if (IsRefusedName(localFile)) return -1;
  if (!CookieSafe(user) || !CookieSafe(sessionId)) return -1;
  std::optional<http::Url> first = http::SplitUrl(url);
  if (!first) return -1;

  // The store holds the user name escaped, within its room.
  std::string userText = user.substr(0, kCookieTextBytes - 1);
  char escaped[kCookieTextBytes];
  EscapeUrlText(escaped, userText.c_str(), sizeof(escaped));
  http::CookieStore::Process().Set(first->Origin(), "sslvpn_sess_user", escaped);
  http::CookieStore::Process().Set(first->Origin(), "sslvpn_sess_id", sessionId);

  WebDownloadSession session(options);
  http::Request request = session.PortalRequest(*first, UsbKeyUnlock{true, pin, "GetWebFileWithCookie......"});
  request.headers = {kAccept, kUserAgent, FormatText("Cookie: sslvpn_sess_user=%s; sslvpn_sess_id=%s", user, sessionId)};
  return session.FetchToFile(std::move(request), localFile);
}

WebDownloadSession::WebDownloadSession(const WebDownloadOptions& options) {
  http::SessionOptions sessionOptions;
  sessionOptions.cancel = options.cancel;
  sessionOptions.stallLimitMs = options.stallLimitMs;
  sessionOptions.connectTimeoutMs = options.connectTimeoutMs;
  sessionOptions.trust = cryptoapi_load_system_stores();
  session_ = std::make_unique<http::Session>(std::move(sessionOptions));
}

WebDownloadSession::~WebDownloadSession() = default;

http::Request WebDownloadSession::PortalRequest(const http::Url& url, const UsbKeyUnlock& unlock) const {
  http::Request request;
  request.url = url;
  request.ignoreCertErrors = http::SECURITY_FLAG_IGNORE_UNKNOWN_CA | http::SECURITY_FLAG_IGNORE_CERT_CN_INVALID |
                             http::SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;
  request.clientCert = [unlock](http::ClientCertificate& out) { return UsbKeyCertificate(unlock, out); };
  request.untrustedCert = SameAsStored;
  return request;
}

bool WebDownloadSession::Send(const http::Request& request) {
  return session_->Send(request, [](long, std::string_view) { return true; }).error == http::Error::None;
}

int WebDownloadSession::FetchToFile(http::Request request, const std::string& localFile) {
  if (IsRefusedName(localFile)) return -1;
  const http::Url first = request.url;
  PendingFile file(localFile);
  bool writeFailed = false;
  const http::BodySink sink = [&](long status, std::string_view piece) {
    if (status != 200) return true;
    if (!file.Write(piece)) {
      writeFailed = true;
      return false;
    }
    return true;
  };

  http::Response response = session_->Send(request, sink);
  if (response.error != http::Error::None) return -1;
  if (response.status == 401) return 401;
  if (response.status == 301 || response.status == 302 || response.status == 303) {
    const std::string location = response.Header("Location");
    if (location.empty()) return -1;
    std::optional<http::Url> next = http::ResolveLocation(first, location);
    if (!next) return -1;
    request.url = *next;
    request.headers = {kAccept};
    response = session_->Send(request, sink);
    if (response.error != http::Error::None) return -1;
  }
  if (response.status != 200) return static_cast<int>(response.status);
  if (writeFailed || !file.Commit()) return -1;
  return 0;
}
