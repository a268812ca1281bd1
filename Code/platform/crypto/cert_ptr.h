// Owners of the OpenSSL objects the certificate layers hand around.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <memory>

namespace platform::crypto {

struct X509Deleter {
  void operator()(X509* p) const { X509_free(p); }
};
struct X509CrlDeleter {
  void operator()(X509_CRL* p) const { X509_CRL_free(p); }
};
struct X509StoreDeleter {
  void operator()(X509_STORE* p) const { X509_STORE_free(p); }
};
struct EvpPkeyDeleter {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};

using X509Ptr = std::unique_ptr<X509, X509Deleter>;
using X509CrlPtr = std::unique_ptr<X509_CRL, X509CrlDeleter>;
using X509StorePtr = std::unique_ptr<X509_STORE, X509StoreDeleter>;
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, EvpPkeyDeleter>;

// A new owning reference to an object someone else owns.
inline X509Ptr ShareX509(X509* cert) {
  if (cert != nullptr) X509_up_ref(cert);
  return X509Ptr(cert);
}

}  // namespace platform::crypto
