#include "support/secret_protection.h"

#include <openssl/crypto.h>

#include <cstdint>
#include <span>
#include <vector>

#include "platform/crypto/protect.h"
#include "support/base64.h"

namespace {

// Plain secrets are wiped from the buffers they pass through.
struct WipedBytes {
  std::vector<uint8_t> bytes;
  ~WipedBytes() {
    if (!bytes.empty()) OPENSSL_cleanse(bytes.data(), bytes.size());
  }
};

}  // namespace

bool ProtectPassword(std::string_view plain, std::string& out) {
  if (plain.size() > kSecretMaxBytes) return false;
  std::vector<uint8_t> blob;
  const auto bytes = std::span(reinterpret_cast<const uint8_t*>(plain.data()), plain.size());
  if (platform::crypto::ProtectData(bytes, kSecretDescription, blob) != 0) return false;
  std::string text = Base64EncodeToString(blob, 0);
  if (text.empty() || text.size() > kSecretTextMaxChars) return false;
  out = std::move(text);
  return true;
}

bool UnprotectPassword(std::string_view text, std::string& out) {
  if (text.size() > kSecretTextMaxChars) return false;
  const std::vector<uint8_t> blob = Base64DecodeToBytes(text);
  if (blob.empty() || blob.size() > kSecretBlobMaxBytes) return false;
  WipedBytes plain;
  if (platform::crypto::UnprotectData(blob, plain.bytes) != 0) return false;
  if (plain.bytes.size() > kSecretMaxBytes) return false;
  out.assign(plain.bytes.begin(), plain.bytes.end());
  return true;
}

bool ProtectPasswordIfSet(const std::string* in, std::string* out) {
  if (in == nullptr || out == nullptr || in->empty()) return false;
  return ProtectPassword(*in, *out);
}

bool UnprotectPasswordIfSet(const std::string* in, std::string* out) {
  if (in == nullptr || out == nullptr || in->empty()) return false;
  return UnprotectPassword(*in, *out);
}
