// Trust on first use of the gateway's certificate: the first certificate a
// gateway shows, when the stores do not vouch for it, is kept (bound to the
// installed product version) and later connections must show the same one.
//
// The files themselves: support/server_cert_file.h.
#pragma once

#include <openssl/x509.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "Brindleway/control/tls_context.h"
#include "support/server_cert_file.h"

namespace brindleway {

// The folder of the stored certificates, created when missing; "" after
// logging "Can't find cert directory [%d]\n".
std::string ServerCertFolder();
// The last word on a gateway certificate that OpenSSL refused: accepted
// when the stores vouch for its chain (untrusted: what the gateway sent
// along, may be null); else stored and accepted when there is no stored
// copy yet, when key.newServerCert asks for a new one, or when the
// installed product is newer than the stored copy; else accepted only when
// it is the stored certificate. 1 accepts, 0 rejects.
int CheckStoredServerCert(X509* cert, STACK_OF(X509)* untrusted, const ServerCertKey& key);

}  // namespace brindleway
