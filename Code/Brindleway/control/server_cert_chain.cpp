#include "Brindleway/control/server_cert_chain.h"

#include <openssl/err.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <memory>

#include "Brindleway/common/constants.h"
#include "Brindleway/common/debug_trace.h"
#include "support/cryptoapi.h"
#include "support/log.h"

namespace brindleway {
namespace {

// What a failed store opening reports when the error queue says nothing.
constexpr uint32_t kNoTrustStore = 0xFFFFFFFF;

struct StoreCtxFree {
  void operator()(X509_STORE_CTX* ctx) const { X509_STORE_CTX_free(ctx); }
};
using StoreCtxPtr = std::unique_ptr<X509_STORE_CTX, StoreCtxFree>;

constexpr size_t kNameSize = 256;

// Traces one name line, or the building error.
void TraceName(const char* format, const char* errorFormat, const X509_NAME* name) {
  char text[kNameSize] = "";
  if (name == nullptr || X509_NAME_oneline(name, text, sizeof(text)) == nullptr) {
    DebugTrace(TRACE_SETUP, errorFormat, static_cast<unsigned>(ERR_peek_last_error()));
    return;
  }
  DebugTrace(TRACE_SETUP, format, text);
}

}  // namespace

platform::crypto::X509StorePtr LoadServerCertTrust() {
  platform::crypto::X509StorePtr trust = cryptoapi_load_system_stores();
  if (!trust) {
    const unsigned long error = ERR_peek_last_error();
    LogPrint(LOG_ERR, "CertGetCertificateChain failed and returned 0x%x\n",
             static_cast<unsigned>(error != 0 ? error : kNoTrustStore));
  }
  return trust;
}

uint32_t GetCertChainStatus(X509_STORE* trust, const platform::crypto::CertContext& cert,
                            STACK_OF(X509)* untrusted) {
  if (trust == nullptr) {
    const unsigned long error = ERR_peek_last_error();
    return error != 0 ? static_cast<uint32_t>(error) : kNoTrustStore;
  }
  StoreCtxPtr ctx(X509_STORE_CTX_new());
  if (!ctx || X509_STORE_CTX_init(ctx.get(), trust, cert.x509(), untrusted) != 1) {
    LogPrint(LOG_ERR, "CertGetCertificateChain failed and returned 0x%x\n",
             static_cast<unsigned>(ERR_peek_last_error()));
    return kNoTrustStore;
  }
  // Trusted as a server's certificate, not merely as some certificate.
  X509_STORE_CTX_set_purpose(ctx.get(), X509_PURPOSE_SSL_SERVER);
  const int ok = X509_verify_cert(ctx.get());
  const int error = X509_STORE_CTX_get_error(ctx.get());
  ERR_clear_error();
  if (ok == 1) return 0;
  return error != X509_V_OK ? static_cast<uint32_t>(error) : static_cast<uint32_t>(X509_V_ERR_UNSPECIFIED);
}

void PrintCertChain(X509_STORE* trust, const platform::crypto::CertContext& cert, STACK_OF(X509)* untrusted) {
  X509* x509 = cert.x509();
  TraceName("Server subject: %s\n", "**** Error 0x%x building subject name\n", X509_get_subject_name(x509));
  TraceName("Server issuer: %s\n", "**** Error 0x%x building issuer name\n", X509_get_issuer_name(x509));
  if (X509_check_issued(x509, x509) == X509_V_OK) {
    DebugTrace(TRACE_SETUP, "Self-singed certificate\n");
    return;
  }
  // The issuer among what the gateway sent, else in the stores.
  X509* issuer = nullptr;
  platform::crypto::X509Ptr fromStore;
  for (int i = 0; untrusted != nullptr && i < sk_X509_num(untrusted); ++i) {
    X509* candidate = sk_X509_value(untrusted, i);
    if (candidate != x509 && X509_check_issued(candidate, x509) == X509_V_OK) {
      issuer = candidate;
      break;
    }
  }
  if (issuer == nullptr && trust != nullptr) {
    StoreCtxPtr ctx(X509_STORE_CTX_new());
    X509* found = nullptr;
    if (ctx && X509_STORE_CTX_init(ctx.get(), trust, x509, nullptr) == 1 &&
        X509_STORE_CTX_get1_issuer(&found, ctx.get(), x509) == 1) {
      fromStore.reset(found);
      issuer = found;
    }
  }
  if (issuer == nullptr) {
    DebugTrace(TRACE_SETUP, "Issuer Certifcate is null (0x%x)\n", static_cast<unsigned>(ERR_peek_last_error()));
    ERR_clear_error();
    return;
  }
  TraceName("CA subject: %s\n", "**** Error 0x%x building subject name\n", X509_get_subject_name(issuer));
  TraceName("CA issuer: %s\n", "**** Error 0x%x building issuer name\n", X509_get_issuer_name(issuer));
}

}  // namespace brindleway
