// Trust on first use of the gateway's certificate: the first certificate a
// gateway shows, when the stores do not vouch for it, is kept (bound to the
// installed product version) and later connections must show the same one.
//
// One file per gateway address, "<folder>/cert<address as signed decimal>",
// in the folder "<QIMBO_HOME>/cert" (the program's own folder when the
// install folder is not set). Its plain content, 2112 bytes:
//      0  64    ProductVer, UTF-16LE, at most 31 units and a terminator
//     64  2048  the certificate, DER
//   rest        zero
// encrypted whole with the file encryption under the program's password.
#pragma once

#include <openssl/x509.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "Brindleway/control/tls_context.h"

namespace brindleway {

inline constexpr size_t SERVER_CERT_VERSION_BYTES = 64;
inline constexpr size_t SERVER_CERT_DER_MAX = 2048;
inline constexpr size_t SERVER_CERT_BLOCK_BYTES = 2112;
// The program's own password of the files: nine UTF-16 units.
inline constexpr char SERVER_CERT_FILE_PASSWORD[] = "Gw!C3rt#9";

// The folder of the stored certificates, created when missing; "" after
// logging "Can't find cert directory [%d]\n".
std::string ServerCertFolder();
// The file of the gateway at gatewayAddress (network order) in folder.
std::string ServerCertPath(const std::string& folder, uint32_t gatewayAddress);

// The last word on a gateway certificate that OpenSSL refused: accepted
// when the stores vouch for its chain (untrusted: what the gateway sent
// along, may be null); else stored and accepted when there is no stored
// copy yet, when key.newServerCert asks for a new one, or when the
// installed product is newer than the stored copy; else accepted only when
// it is the stored certificate. 1 accepts, 0 rejects.
int CheckStoredServerCert(X509* cert, STACK_OF(X509)* untrusted, const ServerCertKey& key);

// Writes the block for the DER bytes to path, replacing the file whole.
// 1, or 0 (also for a certificate longer than SERVER_CERT_DER_MAX).
int StoreServerCert(const uint8_t* der, size_t length, const std::string& path);

}  // namespace brindleway
