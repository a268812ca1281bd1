// The system certificate stores of the calling thread's user, over folders
// (paths::CertStoreDir):
//   "MY"    the user's own certificates: the files of <user data>/.../MY,
//           then every certificate on the token of each registered USB-key
//           provider, by container (CKA_ID) order, with that provider and
//           the key's container as its key property (token_provider.h);
//           a token no longer present adds none
//   "CA"    intermediate authorities: the files of <user data>/.../CA
//   "ROOT"  trusted roots: the system trust store (OpenSSL's default
//           certificate file, or $SSL_CERT_FILE), then the files of
//           /etc/tarnwickgate/certs/ROOT
// A folder's files each hold PEM certificates and revocation lists, or one
// DER certificate or revocation list; files that hold neither are skipped.
// Names match without regard to case. A store is a snapshot taken at open.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/crypto/cert_context.h"
#include "platform/crypto/cert_ptr.h"

namespace platform::crypto {

class CertStore {
 public:
  CertStore() = default;
  CertStore(CertStore&&) noexcept = default;
  CertStore& operator=(CertStore&&) noexcept = default;

  // CertOpenSystemStore. 0; ERROR_FILE_NOT_FOUND for a name other than the
  // three; the Win32 code of a folder that exists but cannot be read. A
  // missing folder is an empty store.
  static uint32_t OpenSystem(std::string_view name, CertStore& out);

  // "MY", "CA" or "ROOT".
  const std::string& name() const { return name_; }
  // The store's own folder (where AddCertificate writes).
  const std::string& folder() const { return folder_; }

  const std::vector<CertContextPtr>& certificates() const { return certificates_; }
  const std::vector<X509CrlPtr>& crls() const { return crls_; }

  // Adds cert to the store's folder as "<SHA-1 thumbprint in hex>.pem"
  // (a certificate added twice replaces its file) and to this snapshot.
  // 0 or the Win32 code of the failed write.
  uint32_t AddCertificate(X509* cert);

 private:
  std::string name_;
  std::string folder_;
  std::vector<CertContextPtr> certificates_;
  std::vector<X509CrlPtr> crls_;
};

}  // namespace platform::crypto
