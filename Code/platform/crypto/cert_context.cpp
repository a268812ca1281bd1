#include "platform/crypto/cert_context.h"

#include <openssl/crypto.h>
#include <openssl/objects.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cctype>

namespace platform::crypto {
namespace {

std::string EntryText(const X509_NAME_ENTRY* entry) {
  unsigned char* utf8 = nullptr;
  const int length = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(entry));
  if (length < 0) return {};
  std::string text(reinterpret_cast<const char*>(utf8), static_cast<size_t>(length));
  OPENSSL_free(utf8);
  return text;
}

std::string FirstValueOf(const X509_NAME* name, int nid) {
  const int index = X509_NAME_get_index_by_NID(name, nid, -1);
  if (index < 0) return {};
  return EntryText(X509_NAME_get_entry(name, index));
}

char LowerAscii(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

}  // namespace

CertContextPtr CertContext::Create(X509* cert, std::optional<KeyProvInfo> keyProvInfo) {
  if (cert == nullptr) return nullptr;
  unsigned char* der = nullptr;
  const int length = i2d_X509(cert, &der);
  if (length <= 0) return nullptr;
  std::shared_ptr<CertContext> context(new CertContext());
  context->encoded_.assign(der, der + length);
  OPENSSL_free(der);
  context->cert_ = ShareX509(cert);
  SHA1(context->encoded_.data(), context->encoded_.size(), context->sha1_.data());
  context->keyProvInfo_ = std::move(keyProvInfo);
  return context;
}

CertContextPtr CertContext::FromEncoded(const uint8_t* der, size_t length,
                                        std::optional<KeyProvInfo> keyProvInfo) {
  if (der == nullptr || length == 0 || length > static_cast<size_t>(INT32_MAX)) return nullptr;
  const unsigned char* cursor = der;
  X509Ptr cert(d2i_X509(nullptr, &cursor, static_cast<long>(length)));
  if (!cert) return nullptr;
  return Create(cert.get(), std::move(keyProvInfo));
}

std::string CertContext::SimpleDisplayName() const {
  const X509_NAME* subject = X509_get_subject_name(cert_.get());
  if (subject == nullptr) return {};
  for (int nid :
       {NID_commonName, NID_organizationalUnitName, NID_organizationName, NID_pkcs9_emailAddress}) {
    std::string text = FirstValueOf(subject, nid);
    if (!text.empty()) return text;
  }
  if (X509_NAME_entry_count(subject) > 0) return EntryText(X509_NAME_get_entry(subject, 0));
  return {};
}

bool CertContext::SubjectContains(std::string_view text) const {
  const X509_NAME* subject = X509_get_subject_name(cert_.get());
  if (subject == nullptr) return false;
  std::string needle(text);
  std::transform(needle.begin(), needle.end(), needle.begin(), LowerAscii);
  for (int i = 0; i < X509_NAME_entry_count(subject); ++i) {
    std::string value = EntryText(X509_NAME_get_entry(subject, i));
    std::transform(value.begin(), value.end(), value.begin(), LowerAscii);
    if (value.find(needle) != std::string::npos) return true;
  }
  return false;
}

std::string KeyContainerName(const std::vector<uint8_t>& id) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string name;
  name.reserve(id.size() * 2);
  for (uint8_t byte : id) {
    name += kDigits[byte >> 4];
    name += kDigits[byte & 0x0F];
  }
  return name;
}

std::optional<std::vector<uint8_t>> KeyIdFromContainerName(std::string_view name) {
  if (name.empty() || name.size() % 2 != 0) return std::nullopt;
  std::vector<uint8_t> id;
  id.reserve(name.size() / 2);
  for (size_t i = 0; i < name.size(); i += 2) {
    const int high = OPENSSL_hexchar2int(static_cast<unsigned char>(name[i]));
    const int low = OPENSSL_hexchar2int(static_cast<unsigned char>(name[i + 1]));
    if (high < 0 || low < 0) return std::nullopt;
    id.push_back(static_cast<uint8_t>(high << 4 | low));
  }
  return id;
}

}  // namespace platform::crypto
