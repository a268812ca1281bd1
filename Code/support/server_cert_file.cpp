#include "support/server_cert_file.h"

#include <openssl/x509.h>

#include <cstring>

#include "platform/paths/paths.h"
#include "support/file_crypt.h"
#include "support/file_helpers.h"
#include "support/log.h"
#include "support/registry_helpers.h"
#include "support/utf16.h"

namespace {

// What is read back at most: a file larger than this is not ours.
constexpr uint32_t kDecryptCapacity = 4096;
// The caller's capacity for the registry texts, as a path buffer.
constexpr uint32_t kRegTextCapacity = 260;
// The version's room: its units without the terminator.
constexpr size_t kVersionUnits = SERVER_CERT_VERSION_BYTES / 2 - 1;

}  // namespace

std::string ServerCertPath(const std::string& folder, uint32_t gatewayAddress) {
  return FormatText("%s/%s%d", folder, "cert", static_cast<int32_t>(gatewayAddress));
}

std::string InstalledServerCertFolder() {
  std::string home;
  uint32_t size = kRegTextCapacity;
  if (RegReadProductValue("QIMBO_HOME", home, size) != 0 || home.empty()) return {};
  std::string folder = platform::paths::SettingPath(home);
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return folder + "/cert";
}

std::string InstalledProductVersion() {
  std::string text;
  uint32_t size = kRegTextCapacity;
  if (RegReadProductValue("ProductVer", text, size) != 0) return {};
  return text;
}

int StoreServerCert(const uint8_t* der, size_t length, const std::string& path) {
  if (der == nullptr || length == 0 || length > SERVER_CERT_DER_MAX) {
    LogPrint(LOG_ERR, "Server certificate too long to store [%d]\n", static_cast<int>(length));
    return 0;
  }
  ServerCertBlock block{};
  const std::u16string version = Utf8ToUtf16(InstalledProductVersion());
  const size_t units = Utf16CutLength(version, kVersionUnits);
  for (size_t i = 0; i < units; ++i) {
    block[2 * i] = static_cast<uint8_t>(version[i] & 0xFF);
    block[2 * i + 1] = static_cast<uint8_t>(version[i] >> 8);
  }
  std::memcpy(block.data() + SERVER_CERT_VERSION_BYTES, der, length);
  if (EncryptFileWithPassword(block.data(), static_cast<int>(block.size()), path, SERVER_CERT_FILE_PASSWORD) != 1) {
    LogPrint(LOG_ERR, "Encrypt file failed\n");
    return 0;
  }
  return 1;
}

int ReadServerCertFile(const std::string& path, ServerCertBlock& block) {
  std::vector<uint8_t> plain(kDecryptCapacity);
  uint32_t length = kDecryptCapacity;
  // A stored file is the whole block or it is not one of ours.
  if (DecryptFileWithPassword(plain.data(), &length, path, SERVER_CERT_FILE_PASSWORD) != 1 ||
      length != SERVER_CERT_BLOCK_BYTES) {
    LogPrint(LOG_ERR, "Decrypt file failed\n");
    return 0;
  }
  std::memcpy(block.data(), plain.data(), block.size());
  return 1;
}

std::string StoredProductVersion(const ServerCertBlock& block) {
  std::u16string units;
  for (size_t i = 0; i + 1 < SERVER_CERT_VERSION_BYTES; i += 2) {
    const char16_t unit = static_cast<char16_t>(block[i] | block[i + 1] << 8);
    if (unit == 0) break;
    units.push_back(unit);
  }
  return Utf16ToUtf8(units);
}

bool BlockHoldsCert(const ServerCertBlock& block, const std::vector<uint8_t>& der) {
  if (der.empty() || der.size() > SERVER_CERT_DER_MAX) return false;
  const uint8_t* stored = block.data() + SERVER_CERT_VERSION_BYTES;
  if (std::memcmp(stored, der.data(), der.size()) != 0) return false;
  for (size_t i = SERVER_CERT_VERSION_BYTES + der.size(); i < block.size(); ++i) {
    if (block[i] != 0) return false;
  }
  return true;
}

int ReadStoredServerCert(uint32_t gatewayAddress, std::vector<uint8_t>& der) {
  const std::string folder = InstalledServerCertFolder();
  if (folder.empty()) return 0;
  const std::string path = ServerCertPath(folder, gatewayAddress);
  if (FileExists(path.c_str()) == 0) return 0;
  ServerCertBlock block{};
  if (ReadServerCertFile(path, block) != 1) return -1;
  // The DER form carries its own length: the block holds it and zero after.
  const uint8_t* start = block.data() + SERVER_CERT_VERSION_BYTES;
  const uint8_t* p = start;
  X509* parsed = d2i_X509(nullptr, &p, static_cast<long>(SERVER_CERT_DER_MAX));
  if (parsed == nullptr) return -1;
  X509_free(parsed);
  der.assign(start, p);
  return BlockHoldsCert(block, der) ? 1 : -1;
}
