// Before each handshake:
//   1. NewClientTlsContext: TLS_client_method, minimum TLS 1.2 (or TLS 1.0
//      at security level 0 when the settings allow legacy gateways);
//   2. InitSSL: verify-peer with VerifyServerCertCallback, the USB-key client
//      certificate when asked, SSL_new with the connection's verification
//      state;
//   3. during the handshake the callback records whether the gateway's
//      certificates are expired or not yet valid, and a chain that OpenSSL
//      refuses goes to the stored-certificate check with its leaf.
#include "Brindleway/control/tls_context.h"

#include <openssl/err.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <memory>
#include <mutex>
#include <vector>

#include "Brindleway/control/stored_server_cert.h"
#include "platform/crypto/cert_context.h"
#include "platform/crypto/cert_ptr.h"
#include "platform/process/user_context.h"
#include "platform/registry/registry.h"
#include "support/cert_settings.h"
#include "support/cryptoapi.h"
#include "support/impersonation.h"
#include "support/log.h"
#include "support/registry_helpers.h"
#include "support/text_convert.h"

namespace brindleway {
namespace {

// What one connection's verification keeps: owned by the connection object
// through its ex-data, so it lives exactly as long as the connection.
struct ServerCertState {
  ServerCertKey key;
  uint32_t validity = CERT_STATUS_NOT_SEEN;
  // The verdict on judgedLeaf once a refused chain was judged: -1 not yet,
  // 0 rejected, 1 accepted. One verdict per leaf, however many certificates
  // of its chain OpenSSL refused; a renegotiation that brings another leaf
  // is judged anew.
  int leafVerdict = -1;
  std::shared_ptr<X509> judgedLeaf;
};

void FreeServerCertState(void* /*parent*/, void* ptr, CRYPTO_EX_DATA* /*ad*/, int /*idx*/, long /*argl*/,
                         void* /*argp*/) {
  std::unique_ptr<ServerCertState> owned(static_cast<ServerCertState*>(ptr));
}

// SSL_dup copies the state instead of sharing it.
int DupServerCertState(CRYPTO_EX_DATA* /*to*/, const CRYPTO_EX_DATA* /*from*/, void** fromData, int /*idx*/,
                       long /*argl*/, void* /*argp*/) {
  const auto* const source = static_cast<const ServerCertState*>(*fromData);
  if (source == nullptr) return 1;
  // The copy belongs to the new connection, freed with it.
  *fromData = std::make_unique<ServerCertState>(*source).release();
  return 1;
}

int StateIndex() {
  static const int index =
      SSL_get_ex_new_index(0, nullptr, nullptr, DupServerCertState, FreeServerCertState);
  return index;
}

ServerCertState* StateOf(const SSL* ssl) {
  if (ssl == nullptr || StateIndex() < 0) return nullptr;
  return static_cast<ServerCertState*>(SSL_get_ex_data(ssl, StateIndex()));
}

std::mutex g_checkMutex;
StoredServerCertCheck g_storedCertCheck;

constexpr int kMaxChainDepth = 8;
constexpr size_t kSubjectSize = 256;

// The stored-certificate check of the gateway's own certificate: the test
// hook when one is installed, else the real one.
int RunStoredServerCertCheck(X509* leaf, STACK_OF(X509)* untrusted, const ServerCertKey& key) {
  StoredServerCertCheck check;
  {
    std::lock_guard<std::mutex> lock(g_checkMutex);
    check = g_storedCertCheck;
  }
  if (check) return check(leaf);
  return CheckStoredServerCert(leaf, untrusted, key);
}

}  // namespace

bool AttachServerCertState(SSL* ssl, const ServerCertKey& key) {
  if (ssl == nullptr || StateIndex() < 0) return false;
  auto state = std::make_unique<ServerCertState>();
  state->key = key;
  if (SSL_set_ex_data(ssl, StateIndex(), state.get()) != 1) return false;
  // From here the connection owns it (FreeServerCertState).
  state.release();
  return true;
}

void SetCertValidityResult(SSL* ssl, uint32_t result) {
  if (ServerCertState* state = StateOf(ssl)) state->validity = result;
}

uint32_t GetCertValidityResult(const SSL* ssl) {
  const ServerCertState* state = StateOf(ssl);
  return state != nullptr ? state->validity : CERT_STATUS_NOT_SEEN;
}

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
  auto* const ssl =
      static_cast<SSL*>(X509_STORE_CTX_get_ex_data(storeContext, SSL_get_ex_data_X509_STORE_CTX_idx()));
  ServerCertState* const state = StateOf(ssl);
  X509* cert = X509_STORE_CTX_get_current_cert(storeContext);
  const int depth = X509_STORE_CTX_get_error_depth(storeContext);
  char subject[kSubjectSize] = "";
  if (cert != nullptr) X509_NAME_oneline(X509_get_subject_name(cert), subject, sizeof(subject));

  if (cert != nullptr) {
    const uint32_t validity = GetServerCertValidity(cert);
    if (validity != CERT_VALIDITY_OK) SetCertValidityResult(ssl, validity);
  }

  if (!preverifyOk) {
    // Whatever certificate OpenSSL stumbled on, the stored copy stands for
    // the gateway's own certificate only: an intermediate is never pinned.
    X509* leaf = X509_STORE_CTX_get0_cert(storeContext);
    const bool judged = state != nullptr && state->leafVerdict >= 0 && state->judgedLeaf != nullptr &&
                        leaf != nullptr && X509_cmp(state->judgedLeaf.get(), leaf) == 0;
    int verdict = judged ? state->leafVerdict : -1;
    if (verdict < 0) {
      verdict = leaf != nullptr && RunStoredServerCertCheck(leaf, X509_STORE_CTX_get0_untrusted(storeContext),
                                                            state != nullptr ? state->key : ServerCertKey{}) == 1
                    ? 1
                    : 0;
      if (state != nullptr && leaf != nullptr && X509_up_ref(leaf) == 1) {
        state->leafVerdict = verdict;
        state->judgedLeaf.reset(leaf, X509_free);
      }
    }
    if (verdict != 1) {
      const int error = X509_STORE_CTX_get_error(storeContext);
      LogPrint(LOG_ERR, "Verify certificate error: depth=%d, error=%s: %s\n", depth,
               X509_verify_cert_error_string(error), subject);
      SetCertValidityResult(ssl, CERT_VALIDITY_OK);
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

int UseUsbKeyCertificate(SSL_CTX* ctx) {
  CertSettings settings{};
  const int impersonating = ImpersonateExplorerUser();
  ReadCertSettings(settings, PRODUCT_SETTINGS_KEY);
  const platform::crypto::CertContextPtr cert =
      settings.IsUseDefaultCert != 0
          ? FindCertByCspName(settings.DefaultCSPName.empty() ? std::string(USB_KEY_PROVIDER_NAME)
                                                              : Utf8ToAnsi(settings.DefaultCSPName))
          : FindCertBySettings(settings);
  if (impersonating != 0) platform::process::RevertToSelf();
  if (!cert) return 0;

  platform::crypto::X509Ptr x509;
  platform::crypto::EvpPkeyPtr pkey;
  if (cryptoapi_get_cert_key(cert, x509, pkey) <= 0) {
    LogPrint(LOG_ERR, "Acquire certificate from USB key failed\n");
    return -1;
  }
  if (SSL_CTX_use_certificate(ctx, x509.get()) != 1) {
    LogPrint(LOG_ERR, "SSL_CTX_use_certificate failed\n");
    cryptoapi_free_cert_key(x509, pkey);
    return -1;
  }
  if (SSL_CTX_use_PrivateKey(ctx, pkey.get()) != 1) {
    LogPrint(LOG_ERR, "SSL_CTX_use_PrivateKey failed\n");
    cryptoapi_free_cert_key(x509, pkey);
    return -1;
  }
  cryptoapi_free_cert_key(x509, pkey);
  return 1;
}

SslPtr InitSSL(SSL_CTX* ctx, int useUsbKey, const ServerCertKey& key) {
  if (ctx == nullptr) return nullptr;
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, VerifyServerCertCallback);
  LogPrint(LOG_DEBUG, "InitSSL usb_key = %d \n", useUsbKey);
  if (useUsbKey != 0 && UseUsbKeyCertificate(ctx) < 0) return nullptr;
  SslPtr ssl(SSL_new(ctx));
  if (!ssl || !AttachServerCertState(ssl.get(), key)) {
    LogPrint(LOG_ERR, "Init SSL failed\n");
    return nullptr;
  }
  // OpenSSL seeds itself from the system: nothing of ours is added to its pool.
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
