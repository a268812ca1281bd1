// Before each handshake:
//   1. NewClientTlsContext: TLS_client_method, minimum TLS 1.2 (or TLS 1.0
//      at security level 0 when the settings allow legacy gateways);
//   2. InitSSL: verify-peer with VerifyServerCertCallback, the USB-key client
//      certificate when asked, SSL_new;
//   3. during the handshake the callback records whether the gateway's
//      certificate is expired or not yet valid, and hands certificates that
//      OpenSSL refuses to the stored-certificate check.
#include "Brindleway/tls_context.h"

#include <openssl/err.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "platform/registry/registry.h"
#include "support/log.h"
#include "support/registry_helpers.h"

namespace brindleway {
namespace {

std::atomic<uint32_t> g_dwCertValidityResult{CERT_VALIDITY_OK};

std::mutex g_checkMutex;
StoredServerCertCheck g_storedCertCheck;

constexpr int kMaxChainDepth = 8;
constexpr size_t kSubjectSize = 256;

int RunStoredServerCertCheck(X509* cert) {
  StoredServerCertCheck check;
  {
    std::lock_guard<std::mutex> lock(g_checkMutex);
    check = g_storedCertCheck;
  }
  return check ? check(cert) : 0;
}

}  // namespace

void SetCertValidityResult(uint32_t result) { g_dwCertValidityResult.store(result); }
uint32_t GetCertValidityResult() { return g_dwCertValidityResult.load(); }

uint32_t GetServerCertValidity(X509* cert) {
  // X509_cmp_current_time: 1 when the time lies ahead, -1 behind, 0 on error.
  if (X509_cmp_current_time(X509_get0_notBefore(cert)) > 0) return CERT_VALIDITY_NOT_YET_VALID;
  if (X509_cmp_current_time(X509_get0_notAfter(cert)) > 0) return CERT_VALIDITY_OK;
  return CERT_VALIDITY_EXPIRED;
}

void SetStoredServerCertCheck(StoredServerCertCheck check) {
  std::lock_guard<std::mutex> lock(g_checkMutex);
  g_storedCertCheck = std::move(check);
}

int VerifyServerCertCallback(int preverifyOk, X509_STORE_CTX* storeContext) {
  X509* cert = X509_STORE_CTX_get_current_cert(storeContext);
  const int depth = X509_STORE_CTX_get_error_depth(storeContext);
  char subject[kSubjectSize] = "";
  if (cert != nullptr) X509_NAME_oneline(X509_get_subject_name(cert), subject, sizeof(subject));

  if (cert != nullptr) {
    const uint32_t validity = GetServerCertValidity(cert);
    if (validity != CERT_VALIDITY_OK) SetCertValidityResult(validity);
  }

  if (!preverifyOk) {
    if (cert == nullptr || RunStoredServerCertCheck(cert) != 1) {
      const int error = X509_STORE_CTX_get_error(storeContext);
      LogPrint(LOG_ERR, "Verify certificate error: depth=%d, error=%s: %s\n", depth,
               X509_verify_cert_error_string(error), subject);
      SetCertValidityResult(CERT_VALIDITY_OK);
      ERR_clear_error();
      return 0;
    }
  }
  if (depth >= kMaxChainDepth) {
    LogPrint(LOG_WARNING, "TLS Warning: Convoluted certificate chain detected with depth [%d] greater than %d\n",
             depth, kMaxChainDepth);
  }
  return 1;
}

bool ReadAllowLegacyTls() {
  namespace reg = platform::registry;
  reg::Key key;
  if (reg::Key::Open(reg::HKEY_LOCAL_MACHINE, PRODUCT_SETTINGS_KEY, reg::Access::Read, key) != 0) return false;
  uint32_t type = reg::REG_NONE;
  std::vector<uint8_t> data;
  if (key.QueryValue("AllowLegacyTls", &type, &data) != 0) return false;
  if (type != reg::REG_DWORD || data.size() != 4) return false;
  const uint32_t value = static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 |
                         static_cast<uint32_t>(data[2]) << 16 | static_cast<uint32_t>(data[3]) << 24;
  return value != 0;
}

SslCtxPtr NewClientTlsContext() {
  SslCtxPtr ctx(SSL_CTX_new(TLS_client_method()));
  if (!ctx) {
    LogPrint(LOG_ERR, "Init SSL context failed\n");
    return nullptr;
  }
  bool ok = true;
  if (ReadAllowLegacyTls()) {
    // Old gateways sign with SHA-1 and offer only TLS 1.0 suites: both need
    // security level 0.
    LogPrint(LOG_WARNING, "AllowLegacyTls is set: TLS 1.0 and 1.1 allowed at security level 0\n");
    ok = SSL_CTX_set_min_proto_version(ctx.get(), TLS1_VERSION) == 1 &&
         SSL_CTX_set_cipher_list(ctx.get(), "DEFAULT:@SECLEVEL=0") == 1;
    SSL_CTX_set_security_level(ctx.get(), 0);
  } else {
    ok = SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION) == 1;
  }
  if (!ok) {
    LogPrint(LOG_ERR, "Init SSL context failed\n");
    return nullptr;
  }
  return ctx;
}

int UseUsbKeyCertificate(SSL_CTX* /*ctx*/) {
  // No USB-key certificate binding on this platform yet: go on without a
  // client certificate, as when the store holds none.
  return 0;
}

SslPtr InitSSL(SSL_CTX* ctx, int useUsbKey) {
  if (ctx == nullptr) return nullptr;
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, VerifyServerCertCallback);
  LogPrint(LOG_DEBUG, "InitSSL usb_key = %d \n", useUsbKey);
  if (useUsbKey != 0 && UseUsbKeyCertificate(ctx) < 0) return nullptr;
  SslPtr ssl(SSL_new(ctx));
  if (!ssl) {
    LogPrint(LOG_ERR, "Init SSL failed\n");
    return nullptr;
  }
  return ssl;
}

uint16_t TlsProtocolId(int version) {
  switch (version) {
    case TLS1_VERSION:
      return 1;
    case SSL2_VERSION:
      return 2;
    case SSL3_VERSION:
      return 3;
    case TLS1_1_VERSION:
      return 4;
    case TLS1_2_VERSION:
      return 5;
    case TLS1_3_VERSION:
      return 6;
    default:
      return 0;
  }
}

TlsIoStatus ClassifyTlsResult(SSL* ssl, int ret) {
  if (ret > 0) return TlsIoStatus::Done;
  switch (SSL_get_error(ssl, ret)) {
    case SSL_ERROR_WANT_READ:
      return TlsIoStatus::WantRead;
    case SSL_ERROR_WANT_WRITE:
      return TlsIoStatus::WantWrite;
    case SSL_ERROR_ZERO_RETURN:
      return TlsIoStatus::PeerClosed;
    case SSL_ERROR_SSL:
      if (ERR_GET_REASON(ERR_peek_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
        ERR_clear_error();
        return TlsIoStatus::PeerClosed;
      }
      return TlsIoStatus::Failed;
    case SSL_ERROR_SYSCALL:
      // An end of file with nothing queued, from libraries that report it this way.
      if (ERR_peek_error() == 0 && ret == 0) return TlsIoStatus::PeerClosed;
      return TlsIoStatus::Failed;
    default:
      return TlsIoStatus::Failed;
  }
}

}  // namespace brindleway
