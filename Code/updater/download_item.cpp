#include "updater/download_item.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <span>
#include <string_view>
#include <system_error>

#include "platform/fd_io.h"
#include "platform/http/http_session.h"
#include "platform/paths/paths.h"
#include "platform/unique_fd.h"
#include "support/cryptoapi.h"

namespace thimbleset {
namespace {

namespace http = platform::http;

bool IsRedirect(long status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

uintptr_t ReportWord(uint32_t kind, uint32_t low) {
  return (static_cast<uintptr_t>(kind & 0xFFFF) << 16) | (low & 0xFFFF);
}

// The ".update" file, made on the first byte of a 200 answer (or at its
// end, for an empty one) and removed again unless the download completed.
class UpdateFile {
 public:
  explicit UpdateFile(std::string path) : path_(std::move(path)) {}
  ~UpdateFile() {
    if (created_ && !kept_) ::unlink(path_.c_str());
  }
  UpdateFile(const UpdateFile&) = delete;
  UpdateFile& operator=(const UpdateFile&) = delete;

  bool Open() {
    if (fd_.valid()) return true;
    if (created_) return false;  // closed already
    const size_t slash = path_.rfind('/');
    if (slash != std::string::npos && slash > 0 && !EnsureFolder(path_.substr(0, slash))) return false;
    // An older ".update" of the same name is replaced.
    fd_.reset(::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!fd_.valid()) return false;
    created_ = true;
    return true;
  }
  bool Write(std::string_view piece) {
    return platform::WriteFull(fd_.get(), {reinterpret_cast<const uint8_t*>(piece.data()), piece.size()});
  }
  // Closed whole and kept.
  bool Close() {
    if (!Open()) return false;
    const bool synced = ::fsync(fd_.get()) == 0;
    fd_.reset();
    if (!synced) return false;
    kept_ = true;
    return true;
  }

 private:
  std::string path_;
  platform::UniqueFd fd_;
  bool created_ = false;
  bool kept_ = false;
};

}  // namespace

const char* DownloadResultText(int code) {
  switch (code) {
    case 0: return "";
    case 1: return "Unknown Internet service type";
    case 2: return "Service deny";
    case 3: return "Redirect failed";
    case 4: return "Redirect URL error";
    case 5: return "Not HTTP service";
    case 6: return "Get file failed";
    case 7: return "Create local file failed";
    case 8: return "Close";
    case 9: return "Empty URL";
    case 400: return "Unintelligible request";
    case 404: return "URL not found";
    case 405: return "Server does not support requested method";
    case 500: return "Unknown server error";
    case 503: return "Server capacity reached";
    default: return "Unknown error";
  }
}

bool EnsureFolder(const std::string& path) {
  struct stat st{};
  if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  platform::paths::CreateDirectories(path, 0755);
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

DownloadItem::~DownloadItem() {
  Cancel();
  Join();
}

bool DownloadItem::Start(DownloadReport report) {
  if (startCount_ != 0) return false;
  ++startCount_;
  cancel_ = false;
  cancelEvent_.Reset();
  report_ = std::move(report);
  try {
    worker_ = std::thread([this] {
      const int code = Download();
      if (report_) report_(WM_DOWNLOAD_END, ReportWord(kind, static_cast<uint32_t>(code)), this);
    });
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void DownloadItem::Join() {
  if (worker_.joinable()) worker_.join();
}

void DownloadItem::Cancel() {
  cancel_ = true;
  cancelEvent_.Set();
}

std::string DownloadItem::LocalPath() const {
  return kind == DOWNLOAD_KIND_UPDATE ? targetPath + kUpdateSuffix : targetPath;
}

int DownloadItem::Download() {
  code_ = Fetch();
  errorText_ = code_ == DOWNLOAD_DONE ? "" : DownloadResultText(code_);
  return code_;
}

int DownloadItem::Fetch() {
  if (url.empty()) return DOWNLOAD_EMPTY_URL;
  std::optional<http::Url> where = http::SplitUrl(url);
  if (!where) return DOWNLOAD_BAD_URL;

  http::SessionOptions options;
  options.cancel = &cancelEvent_;
  options.trust = cryptoapi_load_system_stores();
  http::Session session(std::move(options));

  received_ = 0;
  UpdateFile file(LocalPath());
  bool fileFailed = false;
  const http::BodySink sink = [&](long status, std::string_view body) {
    if (status != 200) return true;
    if (!file.Open()) {
      fileFailed = true;
      return false;
    }
    while (!body.empty()) {
      const std::string_view piece = body.substr(0, kMaxPieceBytes);
      body.remove_prefix(piece.size());
      if (!file.Write(piece)) {
        fileFailed = true;
        return false;
      }
      received_ += static_cast<uint32_t>(piece.size());
      if (report_) report_(WM_DOWNLOAD_PROGRESS, ReportWord(kind, static_cast<uint32_t>(piece.size())), this);
      if (cancel_) return false;
    }
    return true;
  };

  http::Request request;
  request.url = *where;
  request.headers = {kDownloadAccept, kDownloadUserAgent};
  request.ignoreCertErrors = http::SECURITY_FLAG_IGNORE_UNKNOWN_CA | http::SECURITY_FLAG_IGNORE_CERT_CN_INVALID;
  http::Response response;
  for (int redirects = 0;; ++redirects) {
    response = session.Send(request, sink);
    if (cancel_) return DOWNLOAD_CLOSED;
    if (fileFailed) return DOWNLOAD_CLOSED;
    if (response.error == http::Error::Truncated) return DOWNLOAD_GET_FAILED;
    if (response.error != http::Error::None) return DOWNLOAD_SERVICE_DENY;
    if (!IsRedirect(response.status)) break;
    // Followed within the scheme only, as far as kMaxRedirects.
    const std::string location = response.Header("Location");
    if (location.empty()) return DOWNLOAD_SERVICE_DENY;
    std::optional<http::Url> next = http::ResolveLocation(request.url, location);
    if (redirects == kMaxRedirects || !next || next->scheme != request.url.scheme) return DOWNLOAD_SERVICE_DENY;
    request.url = *next;
  }
  if (response.status != 200) return static_cast<int>(response.status);
  if (!file.Close()) return DOWNLOAD_CLOSED;
  return DOWNLOAD_DONE;
}

}  // namespace thimbleset
