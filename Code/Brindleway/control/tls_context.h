// The control channel's TLS set-up: the client context (protocol range,
// security level), the connection object with peer verification and the
// USB key's client certificate, the verify callback with the connection's
// validity result of the gateway's certificate, the protocol ids of the
// status reply, and the reading of a TLS call's outcome.
#pragma once

#include <openssl/ssl.h>

#include <cstdint>
#include <functional>
#include <memory>

namespace brindleway {

struct SslCtxDeleter {
  void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};
struct SslDeleter {
  void operator()(SSL* ssl) const { SSL_free(ssl); }
};
using SslCtxPtr = std::unique_ptr<SSL_CTX, SslCtxDeleter>;
using SslPtr = std::unique_ptr<SSL, SslDeleter>;

// The validity result of the gateway's certificate, kept per connection
// (the control channel, the host check's and the password change's own
// connections handshake on different threads). A connection starts at
// CERT_STATUS_NOT_SEEN; the verify callback writes 2 or 3 for a
// certificate outside its validity period, and 0 when it rejects one.
inline constexpr uint32_t CERT_VALIDITY_OK = 0;
inline constexpr uint32_t CERT_STATUS_NOT_SEEN = 1;
inline constexpr uint32_t CERT_VALIDITY_EXPIRED = 2;
inline constexpr uint32_t CERT_VALIDITY_NOT_YET_VALID = 3;

// What the stored-certificate check of one connection needs to know.
struct ServerCertKey {
  // The gateway's IPv4 address (network order) that names its stored
  // certificate; 0 when it is not known (a gateway name only the proxy
  // resolves), and then nothing is stored or compared.
  uint32_t gatewayAddress = 0;
  // CONN_FLAG_NEW_SERVER_CERT of the connect: a start from the web portal
  // replaces the stored certificate.
  bool newServerCert = false;
};

// Ties a verification state to ssl (freed with it): validity
// CERT_STATUS_NOT_SEEN, the key, no verdict yet. False when OpenSSL refuses.
bool AttachServerCertState(SSL* ssl, const ServerCertKey& key);
// Write and read the connection's validity result; without a state the
// write is lost and the read gives CERT_STATUS_NOT_SEEN.
void SetCertValidityResult(SSL* ssl, uint32_t result);
uint32_t GetCertValidityResult(const SSL* ssl);

// 3 before notBefore, 0 up to notAfter, 2 after it.
uint32_t GetServerCertValidity(X509* cert);

// Replaces the stored-certificate check (CheckStoredServerCert) for tests
// that talk to gateways with throw-away certificates: called with the
// gateway's own certificate when OpenSSL refuses the chain; 1 accepts, 0
// rejects. Null restores the real check.
using StoredServerCertCheck = std::function<int(X509* cert)>;
void SetStoredServerCertCheck(StoredServerCertCheck check);

// The context's verify callback; 1 accepts, 0 rejects. A chain OpenSSL
// refuses, at whatever depth, is judged once per connection by its leaf:
// trusted by the ROOT and CA stores, or the gateway's stored certificate.
int VerifyServerCertCallback(int preverifyOk, X509_STORE_CTX* storeContext);

// HKLM settings key, DWORD "AllowLegacyTls": nonzero lets old gateways
// speak TLS 1.0 and 1.1. Missing or unreadable: false.
bool ReadAllowLegacyTls();

// A client context: TLS 1.2 and later by default; TLS 1.0 and later at
// security level 0 when AllowLegacyTls is set. Null after logging
// "Init SSL context failed\n".
SslCtxPtr NewClientTlsContext();

// The client certificate and key from the USB key bound into ctx: 1 bound,
// 0 none found (the connection goes on without one), -1 found but unusable.
int UseUsbKeyCertificate(SSL_CTX* ctx);

// Sets peer verification on ctx, binds the USB-key certificate when asked
// and creates the connection object with its verification state (key);
// null on failure.
SslPtr InitSSL(SSL_CTX* ctx, int useUsbKey, const ServerCertKey& key = {});

// The protocol id of the status reply: 1 TLS 1.0, 2 SSL 2, 3 SSL 3,
// 4 TLS 1.1, 5 TLS 1.2, 6 TLS 1.3, 0 anything else.
uint16_t TlsProtocolId(int version);

// What a TLS call's return value means. An end of the connection without
// close_notify (an error to OpenSSL 3) counts as the peer closing it.
enum class TlsIoStatus { Done, WantRead, WantWrite, PeerClosed, Failed };
TlsIoStatus ClassifyTlsResult(SSL* ssl, int ret);

}  // namespace brindleway
