#include "support/cryptoapi_error.h"

#include <openssl/err.h>

#include <array>
#include <mutex>

#include "platform/crypto/crypto_error.h"
#include "support/log.h"

namespace {

const char* FunctionName(int function) {
  switch (function) {
    case CRYPTOAPI_F_CERT_OPEN_SYSTEM_STORE: return "CertOpenSystemStore";
    case CRYPTOAPI_F_CERT_FIND_CERTIFICATE_IN_STORE: return "CertFindCertificateInStore";
    case CRYPTOAPI_F_CRYPT_ACQUIRE_CERTIFICATE_PRIVATE_KEY:
      return "CryptAcquireCertificatePrivateKey";
    case CRYPTOAPI_F_CRYPT_CREATE_HASH: return "CryptCreateHash";
    case CRYPTOAPI_F_CRYPT_GET_HASH_PARAM: return "CryptGetHashParam";
    case CRYPTOAPI_F_CRYPT_SET_HASH_PARAM: return "CryptSetHashParam";
    case CRYPTOAPI_F_CRYPT_SIGN_HASH: return "CryptSignHash";
    case CRYPTOAPI_F_LOAD_LIBRARY: return "LoadLibrary";
    case CRYPTOAPI_F_GET_PROC_ADDRESS: return "GetProcAddress";
    default: return "";
  }
}

// OpenSSL keeps pointers into the string tables, so they live as long as
// the process. Filled on demand under the lock: TLS connections on several
// threads may report at once.
struct ReasonTable {
  std::mutex mutex;
  bool libraryLoaded = false;
  std::array<ERR_STRING_DATA, 2> library{};
  int used = 0;
  std::array<uint32_t, CRYPTOAPI_MAX_REASONS> errors{};
  std::array<std::string, CRYPTOAPI_MAX_REASONS> texts;
  // One entry and its terminator per reason.
  std::array<std::array<ERR_STRING_DATA, 2>, CRYPTOAPI_MAX_REASONS> strings{};
};

ReasonTable& Reasons() {
  static ReasonTable table;
  return table;
}

// The reason of error, registering it when new; 0 when the table is full.
int ReasonFor(ReasonTable& table, uint32_t error) {
  if (!table.libraryLoaded) {
    table.library[0] = {ERR_PACK(ERR_LIB_CRYPTOAPI, 0, 0), CRYPTOAPI_LIB_NAME};
    ERR_load_strings(ERR_LIB_CRYPTOAPI, table.library.data());
    table.libraryLoaded = true;
  }
  for (int i = 0; i < table.used; ++i) {
    if (table.errors[i] == error) return CRYPTOAPI_REASON_BASE + i;
  }
  if (table.used == CRYPTOAPI_MAX_REASONS) return 0;
  const int slot = table.used++;
  table.errors[slot] = error;
  table.texts[slot] = CryptoApiErrorText(error).value_or(FormatText("error 0x%08x", error));
  table.strings[slot][0] = {ERR_PACK(0, 0, CRYPTOAPI_REASON_BASE + slot),
                            table.texts[slot].c_str()};
  ERR_load_strings(ERR_LIB_CRYPTOAPI, table.strings[slot].data());
  return CRYPTOAPI_REASON_BASE + slot;
}

}  // namespace

void cryptoapi_error(uint32_t error, int function, const char* file, int line) {
  ReasonTable& table = Reasons();
  int reason = 0;
  {
    std::lock_guard lock(table.mutex);
    reason = ReasonFor(table, error);
  }
  if (reason == 0) return;
  ERR_new();
  ERR_set_debug(file, line, FunctionName(function));
  ERR_set_error(ERR_LIB_CRYPTOAPI, reason, nullptr);
}

std::optional<std::string> CryptoApiErrorText(uint32_t error) {
  return platform::crypto::CryptoErrorText(error);
}
