// CheckStoredServerCert:
//   1. the certificate's DER form (too long for the block: refused);
//   2. the stores vouch for its chain: accept, nothing stored;
//   3. the file of the gateway's address;
//   4. no file yet, or a start from the web portal: store, accept;
//   5. decrypt the stored block (whole, or refused); a newer installed
//      product renews it; else the stored DER must be this certificate.
#include "Brindleway/control/stored_server_cert.h"

#include <openssl/err.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <vector>

#include "Brindleway/common/constants.h"
#include "Brindleway/common/debug_trace.h"
#include "Brindleway/control/dotted_version.h"
#include "Brindleway/control/server_cert_chain.h"
#include "platform/crypto/cert_context.h"
#include "platform/paths/paths.h"
#include "support/file_crypt.h"
#include "support/file_helpers.h"
#include "support/log.h"
#include "support/registry_helpers.h"
#include "support/utf16.h"

namespace brindleway {
namespace {

// What is read back at most: a file larger than this is not ours.
constexpr uint32_t kDecryptCapacity = 4096;
// The caller's capacity for the registry texts, as a path buffer.
constexpr uint32_t kRegTextCapacity = 260;
// The version's room: its units without the terminator.
constexpr size_t kVersionUnits = SERVER_CERT_VERSION_BYTES / 2 - 1;

std::string InstalledProductVersion() {
  std::string text;
  uint32_t size = kRegTextCapacity;
  if (RegReadProductValue("ProductVer", text, size) != 0) return {};
  return text;
}

// The version text of a block: up to its terminator or the end of its room.
std::string StoredProductVersion(const uint8_t* block) {
  std::u16string units;
  for (size_t i = 0; i + 1 < SERVER_CERT_VERSION_BYTES; i += 2) {
    const char16_t unit = static_cast<char16_t>(block[i] | block[i + 1] << 8);
    if (unit == 0) break;
    units.push_back(unit);
  }
  return Utf16ToUtf8(units);
}

// The DER form of cert; empty after logging OpenSSL's error.
std::vector<uint8_t> DerOf(X509* cert) {
  const int length = i2d_X509(cert, nullptr);
  if (length <= 0) {
    LogPrint(LOG_ERR, "Encode server certificate failed [0x%x]\n", static_cast<unsigned>(ERR_peek_last_error()));
    ERR_clear_error();
    return {};
  }
  std::vector<uint8_t> der(static_cast<size_t>(length));
  uint8_t* out = der.data();
  i2d_X509(cert, &out);
  return der;
}

// True when the stored block holds exactly der: its bytes, then only zero.
bool BlockHoldsCert(const std::array<uint8_t, SERVER_CERT_BLOCK_BYTES>& block, const std::vector<uint8_t>& der) {
  const uint8_t* stored = block.data() + SERVER_CERT_VERSION_BYTES;
  if (std::memcmp(stored, der.data(), der.size()) != 0) return false;
  for (size_t i = SERVER_CERT_VERSION_BYTES + der.size(); i < block.size(); ++i) {
    if (block[i] != 0) return false;
  }
  return true;
}

}  // namespace

std::string ServerCertFolder() {
  std::string home;
  uint32_t size = kRegTextCapacity;
  if (RegReadProductValue("QIMBO_HOME", home, size) != 0 || home.empty()) return platform::paths::ModuleDir();
  std::string folder = platform::paths::SettingPath(home);
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  folder += "/cert";
  if (!platform::paths::CreateDirectories(folder)) {
    LogPrint(LOG_ERR, "Can't find cert directory [%d]\n", errno);
    return {};
  }
  return folder;
}

std::string ServerCertPath(const std::string& folder, uint32_t gatewayAddress) {
  return FormatText("%s/%s%d", folder, "cert", static_cast<int32_t>(gatewayAddress));
}

int StoreServerCert(const uint8_t* der, size_t length, const std::string& path) {
  if (der == nullptr || length == 0 || length > SERVER_CERT_DER_MAX) {
    LogPrint(LOG_ERR, "Server certificate too long to store [%d]\n", static_cast<int>(length));
    return 0;
  }
  std::array<uint8_t, SERVER_CERT_BLOCK_BYTES> block{};
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

int CheckStoredServerCert(X509* cert, STACK_OF(X509)* untrusted, const ServerCertKey& key) {
  if (cert == nullptr) return 0;
  const std::vector<uint8_t> der = DerOf(cert);
  if (der.empty()) return 0;
  const platform::crypto::CertContextPtr context = platform::crypto::CertContext::FromEncoded(der.data(), der.size());
  if (!context) {
    LogPrint(LOG_ERR, "Create certificate context failed\n");
    return 0;
  }

  const platform::crypto::X509StorePtr trust = LoadServerCertTrust();
  PrintCertChain(trust.get(), *context, untrusted);
  const uint32_t status = GetCertChainStatus(trust.get(), *context, untrusted);
  DebugTrace(TRACE_SETUP, "Server certificate verification status: %x\n", status);
  if (status == 0) return 1;

  // Only a certificate the block can hold is ever stored or compared.
  if (der.size() > SERVER_CERT_DER_MAX) {
    LogPrint(LOG_ERR, "Server certificate too long to store [%d]\n", static_cast<int>(der.size()));
    return 0;
  }
  if (key.gatewayAddress == 0) {
    LogPrint(LOG_ERR, "No gateway address to find the stored server certificate\n");
    return 0;
  }
  const std::string folder = ServerCertFolder();
  if (folder.empty()) return 0;
  const std::string path = ServerCertPath(folder, key.gatewayAddress);
  DebugTrace(TRACE_SETUP, "Server cert path: %s\n", path);

  if (key.newServerCert || FileExists(path.c_str()) == 0) return StoreServerCert(der.data(), der.size(), path);

  std::vector<uint8_t> plain(kDecryptCapacity);
  uint32_t length = kDecryptCapacity;
  // A stored file is the whole block or it is not one of ours.
  if (DecryptFileWithPassword(plain.data(), &length, path, SERVER_CERT_FILE_PASSWORD) != 1 ||
      length != SERVER_CERT_BLOCK_BYTES) {
    LogPrint(LOG_ERR, "Decrypt file failed\n");
    return 0;
  }
  std::array<uint8_t, SERVER_CERT_BLOCK_BYTES> block{};
  std::memcpy(block.data(), plain.data(), block.size());

  const std::string installed = InstalledProductVersion();
  if (CompareDottedVersions(installed, StoredProductVersion(block.data())) > 0) {
    // The product was updated since: the gateway's certificate of now is kept.
    return StoreServerCert(der.data(), der.size(), path);
  }
  if (BlockHoldsCert(block, der)) return 1;
  LogPrint(LOG_ERR, "Suspicious Man-in-Milldle attack: Not the same server certificate\n");
  return 0;
}

}  // namespace brindleway
