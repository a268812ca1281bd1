// The result codes of the certificate stores and the USB-key provider: the
// numbers the CryptoAPI callers know (provider, store and smart-card
// errors), with a text for each, and the mapping from PKCS#11 results.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace platform::crypto {

inline constexpr uint32_t NTE_BAD_LEN = 0x80090004;
inline constexpr uint32_t NTE_BAD_DATA = 0x80090005;
inline constexpr uint32_t NTE_BAD_SIGNATURE = 0x80090006;
inline constexpr uint32_t NTE_BAD_ALGID = 0x80090008;
inline constexpr uint32_t NTE_NO_KEY = 0x8009000D;
inline constexpr uint32_t NTE_NO_MEMORY = 0x8009000E;
inline constexpr uint32_t NTE_BAD_KEYSET = 0x80090016;
inline constexpr uint32_t NTE_KEYSET_NOT_DEF = 0x80090019;
inline constexpr uint32_t NTE_PROVIDER_DLL_FAIL = 0x8009001D;
inline constexpr uint32_t NTE_FAIL = 0x80090020;
inline constexpr uint32_t CRYPT_E_NOT_FOUND = 0x80092004;
inline constexpr uint32_t CRYPT_E_NO_KEY_PROPERTY = 0x8009200B;
inline constexpr uint32_t SCARD_E_NO_SMARTCARD = 0x8010000C;
inline constexpr uint32_t SCARD_W_REMOVED_CARD = 0x80100069;
inline constexpr uint32_t SCARD_W_WRONG_CHV = 0x8010006B;
inline constexpr uint32_t SCARD_W_CHV_BLOCKED = 0x8010006C;
inline constexpr uint32_t SCARD_W_CARD_NOT_AUTHENTICATED = 0x8010006F;

// The text of one of the codes above or of a Win32 error the stores pass
// on; nothing for a code the table does not know.
std::optional<std::string> CryptoErrorText(uint32_t error);

// The code for a PKCS#11 result (CK_RV); NTE_FAIL for those without a
// closer one.
uint32_t ErrorFromCkr(unsigned long ckr);

}  // namespace platform::crypto
