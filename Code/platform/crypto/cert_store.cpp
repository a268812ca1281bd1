#include "platform/crypto/cert_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>

#include "platform/crypto/token_provider.h"
#include "platform/paths/paths.h"
#include "platform/replacement_file.h"
#include "platform/win32/win32_error.h"

namespace platform::crypto {
namespace {

struct BioDeleter {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
using BioPtr = std::unique_ptr<BIO, BioDeleter>;

struct InfoStackDeleter {
  void operator()(STACK_OF(X509_INFO) * infos) const {
    sk_X509_INFO_pop_free(infos, X509_INFO_free);
  }
};

// Parsing a file of another form leaves errors behind; they are not the
// caller's business.
struct ErrorQueueMark {
  ErrorQueueMark() { ERR_set_mark(); }
  ~ErrorQueueMark() { ERR_pop_to_mark(); }
};

std::string UpperAscii(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), [](char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
  });
  return out;
}

void ReadFile(const std::string& path, std::vector<CertContextPtr>& certs,
              std::vector<X509CrlPtr>& crls) {
  const ErrorQueueMark mark;
  BioPtr bio(BIO_new_file(path.c_str(), "rb"));
  if (!bio) return;
  std::unique_ptr<STACK_OF(X509_INFO), InfoStackDeleter> infos(
      PEM_X509_INFO_read_bio(bio.get(), nullptr, nullptr, nullptr));
  if (infos && sk_X509_INFO_num(infos.get()) > 0) {
    for (int i = 0; i < sk_X509_INFO_num(infos.get()); ++i) {
      X509_INFO* info = sk_X509_INFO_value(infos.get(), i);
      if (info->x509 != nullptr) {
        if (CertContextPtr context = CertContext::Create(info->x509)) certs.push_back(context);
      }
      if (info->crl != nullptr) {
        X509_CRL_up_ref(info->crl);
        crls.emplace_back(info->crl);
      }
    }
    return;
  }
  if (BIO_reset(bio.get()) < 0) return;
  if (X509Ptr cert{d2i_X509_bio(bio.get(), nullptr)}) {
    if (CertContextPtr context = CertContext::Create(cert.get())) certs.push_back(context);
    return;
  }
  if (BIO_reset(bio.get()) < 0) return;
  if (X509CrlPtr crl{d2i_X509_CRL_bio(bio.get(), nullptr)}) crls.push_back(std::move(crl));
}

uint32_t ReadFolder(const std::string& folder, std::vector<CertContextPtr>& certs,
                    std::vector<X509CrlPtr>& crls) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return errno == ENOENT ? ERROR_SUCCESS : Win32FromErrno(errno);
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    const std::string path = folder + "/" + name;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    ReadFile(path, certs, crls);
  }
  return ERROR_SUCCESS;
}

std::string SystemTrustFile() {
  const char* fromEnv = std::getenv(X509_get_default_cert_file_env());
  if (fromEnv != nullptr && *fromEnv != '\0') return fromEnv;
  return X509_get_default_cert_file();
}

void AddTokenCertificates(std::vector<CertContextPtr>& certs) {
  for (const std::string& name : TokenProvider::RegisteredNames()) {
    uint32_t error = 0;
    const std::shared_ptr<TokenProvider> provider = TokenProvider::Open(name, error);
    if (!provider) continue;
    // The snapshot shows the token as it is now: a key pulled out since
    // the last opening must not lend its certificates.
    provider->CheckTokenPresent();
    std::vector<TokenCertificate> tokenCerts;
    if (provider->Certificates(tokenCerts) != 0) continue;
    // The token hands its objects out in no fixed order; by container the
    // store's order, and with it the provider's first certificate, stays
    // the same from one process and one opening to the next.
    std::stable_sort(tokenCerts.begin(), tokenCerts.end(),
                     [](const TokenCertificate& a, const TokenCertificate& b) { return a.id < b.id; });
    for (const TokenCertificate& tokenCert : tokenCerts) {
      KeyProvInfo info{provider->name(), KeyContainerName(tokenCert.id)};
      if (CertContextPtr context = CertContext::Create(tokenCert.cert.get(), std::move(info)))
        certs.push_back(context);
    }
  }
}

std::string HexThumbprint(const CertContext& context) {
  return KeyContainerName({context.sha1Hash().begin(), context.sha1Hash().end()});
}

}  // namespace

uint32_t CertStore::OpenSystem(std::string_view name, CertStore& out) {
  out = CertStore();
  const std::string upper = UpperAscii(name);
  if (upper != "MY" && upper != "CA" && upper != "ROOT") return ERROR_FILE_NOT_FOUND;
  CertStore store;
  store.name_ = upper;
  store.folder_ = paths::CertStoreDir(upper);
  if (upper == "ROOT") ReadFile(SystemTrustFile(), store.certificates_, store.crls_);
  if (uint32_t err = ReadFolder(store.folder_, store.certificates_, store.crls_);
      err != ERROR_SUCCESS)
    return err;
  if (upper == "MY") AddTokenCertificates(store.certificates_);
  out = std::move(store);
  return ERROR_SUCCESS;
}

uint32_t CertStore::AddCertificate(X509* cert) {
  const CertContextPtr context = CertContext::Create(cert);
  if (!context) return ERROR_INVALID_PARAMETER;
  if (!paths::CreateDirectories(folder_)) return LastWin32Error();
  const std::string path = folder_ + "/" + HexThumbprint(*context) + ".pem";
  BioPtr pem(BIO_new(BIO_s_mem()));
  if (!pem || PEM_write_bio_X509(pem.get(), context->x509()) != 1) return ERROR_WRITE_FAULT;
  const char* text = nullptr;
  const long length = BIO_get_mem_data(pem.get(), &text);
  if (length <= 0 || text == nullptr) return ERROR_WRITE_FAULT;
  // Synced before it replaces an older copy: a crash never leaves it empty.
  if (const uint32_t err =
          ReplaceFileContents(path, {reinterpret_cast<const uint8_t*>(text), static_cast<size_t>(length)})) {
    return err;
  }
  certificates_.erase(std::remove_if(certificates_.begin(), certificates_.end(),
                                     [&](const CertContextPtr& c) {
                                       return !c->keyProvInfo() &&
                                              c->sha1Hash() == context->sha1Hash();
                                     }),
                      certificates_.end());
  certificates_.push_back(context);
  return ERROR_SUCCESS;
}

}  // namespace platform::crypto
