// Whether the gateway's certificate chains up to a trusted root of the
// crypto layer's stores: "ROOT" (the system trust store and the product's
// own folder) with "CA" for intermediates, helped by the certificates the
// gateway sent along. Certificates the gateway sends are never trusted for
// themselves, only used to build the path.
#pragma once

#include <openssl/x509.h>

#include <cstdint>

#include "platform/crypto/cert_context.h"
#include "platform/crypto/cert_ptr.h"

namespace brindleway {

// The trust store of "ROOT" and "CA"; null after logging
// "CertGetCertificateChain failed and returned 0x%x\n" when a store cannot
// be opened.
platform::crypto::X509StorePtr LoadServerCertTrust();

// 0 when cert chains to a trusted root and every certificate of the path is
// within its validity period; else the verification error (nonzero).
// untrusted (may be null) holds the certificates the gateway sent. A null
// trust gives the error of the failed store opening.
uint32_t GetCertChainStatus(X509_STORE* trust, const platform::crypto::CertContext& cert,
                            STACK_OF(X509)* untrusted);

// Set-up trace of the subject and issuer of cert and of its issuer, taken
// from what the gateway sent or the stores.
void PrintCertChain(X509_STORE* trust, const platform::crypto::CertContext& cert, STACK_OF(X509)* untrusted);

}  // namespace brindleway
