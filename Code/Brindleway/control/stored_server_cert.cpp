// CheckStoredServerCert:
//   1. the certificate's DER form (too long for the block: refused);
//   2. the stores vouch for its chain: accept, nothing stored;
//   3. the file of the gateway's address;
//   4. no file yet, or a start from the web portal: store, accept;
//   5. decrypt the stored block (whole, or refused); a newer installed
//      product renews it; else the stored DER must be this certificate.
#include "Brindleway/control/stored_server_cert.h"

#include <openssl/err.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <vector>

#include "Brindleway/common/constants.h"
#include "Brindleway/common/debug_trace.h"
#include "Brindleway/control/server_cert_chain.h"
#include "platform/crypto/cert_context.h"
#include "platform/paths/paths.h"
#include "support/dotted_version.h"
#include "support/file_crypt.h"
#include "support/file_helpers.h"
#include "support/log.h"
#include "support/registry_helpers.h"
#include "support/utf16.h"

namespace brindleway {
namespace {

// The DER form of cert; empty after logging OpenSSL's error.
std::vector<uint8_t> DerOf(X509* cert) {
  const int length = i2d_X509(cert, nullptr);
  if (length <= 0) {
    LogPrint(LOG_ERR, "Encode server certificate failed [0x%x]\n", static_cast<unsigned>(ERR_peek_last_error()));
    ERR_clear_error();
    return {};
  }
  std::vector<uint8_t> der(static_cast<size_t>(length));
  uint8_t* out = der.data();
  i2d_X509(cert, &out);
  return der;
}

}  // namespace

std::string ServerCertFolder() {
  const std::string folder = InstalledServerCertFolder();
  if (folder.empty()) return platform::paths::ModuleDir();
  if (!platform::paths::CreateDirectories(folder)) {
    LogPrint(LOG_ERR, "Can't find cert directory [%d]\n", errno);
    return {};
  }
  return folder;
}

int CheckStoredServerCert(X509* cert, STACK_OF(X509)* untrusted, const ServerCertKey& key) {
  if (cert == nullptr) return 0;
  const std::vector<uint8_t> der = DerOf(cert);
  if (der.empty()) return 0;
  const platform::crypto::CertContextPtr context = platform::crypto::CertContext::FromEncoded(der.data(), der.size());
  if (!context) {
    LogPrint(LOG_ERR, "Create certificate context failed\n");
    return 0;
  }

  const platform::crypto::X509StorePtr trust = LoadServerCertTrust();
  PrintCertChain(trust.get(), *context, untrusted);
  const uint32_t status = GetCertChainStatus(trust.get(), *context, untrusted);
  DebugTrace(TRACE_SETUP, "Server certificate verification status: %x\n", status);
  if (status == 0) return 1;

  // Only a certificate the block can hold is ever stored or compared.
  if (der.size() > SERVER_CERT_DER_MAX) {
    LogPrint(LOG_ERR, "Server certificate too long to store [%d]\n", static_cast<int>(der.size()));
    return 0;
  }
  if (key.gatewayAddress == 0) {
    LogPrint(LOG_ERR, "No gateway address to find the stored server certificate\n");
    return 0;
  }
  const std::string folder = ServerCertFolder();
  if (folder.empty()) return 0;
  const std::string path = ServerCertPath(folder, key.gatewayAddress);
  DebugTrace(TRACE_SETUP, "Server cert path: %s\n", path);

  if (key.newServerCert || FileExists(path.c_str()) == 0) return StoreServerCert(der.data(), der.size(), path);

  ServerCertBlock block{};
  if (ReadServerCertFile(path, block) != 1) return 0;

  const std::string installed = InstalledProductVersion();
  if (CompareDottedVersions(installed, StoredProductVersion(block)) > 0) {
    // The product was updated since: the gateway's certificate of now is kept.
    return StoreServerCert(der.data(), der.size(), path);
  }
  if (BlockHoldsCert(block, der)) return 1;
  LogPrint(LOG_ERR, "Suspicious Man-in-Milldle attack: Not the same server certificate\n");
  return 0;
}

}  // namespace brindleway
