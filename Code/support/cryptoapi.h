// OpenSSL over the certificates of the system stores whose private keys
// never leave the USB key: an OpenSSL certificate and key built from a
// store certificate, whose RSA key runs its private operations on the token
// through cryptoapi_rsa_method; searches of a store by subject or
// thumbprint; and an OpenSSL trust store built from "ROOT" and "CA".
//
// A TLS context takes a USB-key client certificate so:
//   X509Ptr x509; EvpPkeyPtr pkey;
//   cryptoapi_get_cert_key(cert, x509, pkey) > 0
//   SSL_CTX_use_certificate(ctx, x509.get()); SSL_CTX_use_PrivateKey(ctx, pkey.get());
// The key works for TLS 1.2 (PKCS #1 and PSS signatures) and TLS 1.3; the
// PIN must have been given to the provider (SetUsbKeyPin) before the first
// signature.
#pragma once

#include <openssl/types.h>

#include <cstdint>
#include <string_view>

#include "platform/crypto/cert_context.h"
#include "platform/crypto/cert_ptr.h"
#include "platform/crypto/cert_store.h"

// Algorithm ids of the digest mapping.
inline constexpr uint32_t CALG_MD2 = 0x8001;
inline constexpr uint32_t CALG_MD4 = 0x8002;
inline constexpr uint32_t CALG_MD5 = 0x8003;
inline constexpr uint32_t CALG_SHA1 = 0x8004;
inline constexpr uint32_t CALG_SSL3_SHAMD5 = 0x8008;
inline constexpr uint32_t CALG_SHA_256 = 0x800C;
inline constexpr uint32_t CALG_SHA_384 = 0x800D;
inline constexpr uint32_t CALG_SHA_512 = 0x800E;

inline constexpr char CRYPTOAPI_RSA_METHOD_NAME[] = "Cryptographic RSA method";

// The RSA method of token keys (process lifetime):
//   public encrypt / decrypt     OpenSSL's own
//   private encrypt              on the token: PKCS #1 type 1 padding with
//                                CKM_RSA_PKCS, no padding (the raw operation
//                                PSS signatures are built on) with CKM_RSA_X_509
//   private decrypt              on the token, PKCS #1 or no padding
//   sign                         a DigestInfo of MD5, SHA-1 or SHA-2 (or the
//                                bare 36-byte MD5+SHA-1 of TLS 1.0) signed
//                                with CKM_RSA_PKCS
//   verify                       OpenSSL on a copy of the public key
//   init / finish                acquire / release the token key
// The key is acquired when the method is set and, failing that (no PIN
// yet), at its first private operation; failures go to the error queue
// (cryptoapi_error.h) and fail the operation.
const RSA_METHOD* cryptoapi_rsa_method();

// Builds x509 and pkey from cert: 1 with both set; 0 for a null cert; -1
// when the certificate or its RSA public key cannot be built (outputs
// untouched).
int cryptoapi_get_cert_key(const platform::crypto::CertContextPtr& cert,
                           platform::crypto::X509Ptr& x509, platform::crypto::EvpPkeyPtr& pkey);
// Frees both and clears them; 0.
int cryptoapi_free_cert_key(platform::crypto::X509Ptr& x509, platform::crypto::EvpPkeyPtr& pkey);

// "SUBJ:text": the first certificate one of whose subject's values contains
// text (without regard to ASCII case). "THUMB:hex": the certificate whose
// SHA-1 thumbprint is the hex digit pairs (either case, blanks allowed after
// each pair, at most 255 bytes); a malformed list finds nothing. Null for
// any other selector or when nothing matches.
platform::crypto::CertContextPtr cryptoapi_find_cert(std::string_view selector,
                                                     const platform::crypto::CertStore& store);

// An OpenSSL trust store with every certificate and revocation list of
// "ROOT" and "CA"; null when one of them cannot be opened.
platform::crypto::X509StorePtr cryptoapi_load_system_stores();

// The digest mapping: MD2, MD4, MD5, SHA and SHA-1, SHA-256/384/512 to their
// ids; anything else to CALG_SSL3_SHAMD5.
uint32_t cryptoapi_nid_to_alg(int nid);
