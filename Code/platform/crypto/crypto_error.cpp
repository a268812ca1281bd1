#include "platform/crypto/crypto_error.h"

#include <array>

#include "platform/win32/win32_error.h"

namespace platform::crypto {
namespace {

struct ErrorText {
  uint32_t code;
  const char* text;
};

constexpr std::array kTexts{
    ErrorText{NTE_BAD_LEN, "The length of the data is not valid for this key."},
    ErrorText{NTE_BAD_DATA, "The data is not valid."},
    ErrorText{NTE_BAD_SIGNATURE, "The signature does not verify."},
    ErrorText{NTE_BAD_ALGID, "The algorithm is not supported by the key."},
    ErrorText{NTE_NO_KEY, "The key does not exist on the token."},
    ErrorText{NTE_NO_MEMORY, "Not enough memory for the key operation."},
    ErrorText{NTE_BAD_KEYSET, "The key container does not exist."},
    ErrorText{NTE_KEYSET_NOT_DEF, "The requested provider does not exist."},
    ErrorText{NTE_PROVIDER_DLL_FAIL, "The provider's module could not be loaded or initialised."},
    ErrorText{NTE_FAIL, "The token reported an internal error."},
    ErrorText{CRYPT_E_NOT_FOUND, "Cannot find the object or property."},
    ErrorText{CRYPT_E_NO_KEY_PROPERTY, "The certificate has no private key property."},
    ErrorText{SCARD_E_NO_SMARTCARD, "No USB key is present in the reader."},
    ErrorText{SCARD_W_REMOVED_CARD, "The USB key was removed."},
    ErrorText{SCARD_W_WRONG_CHV, "The PIN of the USB key is wrong."},
    ErrorText{SCARD_W_CHV_BLOCKED, "The PIN of the USB key is locked."},
    ErrorText{SCARD_W_CARD_NOT_AUTHENTICATED, "No PIN was presented to the USB key."},
    ErrorText{ERROR_FILE_NOT_FOUND, "The file does not exist."},
    ErrorText{ERROR_PATH_NOT_FOUND, "The folder does not exist."},
    ErrorText{ERROR_ACCESS_DENIED, "Access is denied."},
    ErrorText{ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
};

// PKCS#11 result values (the standard's numbers) that have a closer code.
constexpr unsigned long CKR_HOST_MEMORY = 0x02;
constexpr unsigned long CKR_DATA_INVALID = 0x20;
constexpr unsigned long CKR_DATA_LEN_RANGE = 0x21;
constexpr unsigned long CKR_DEVICE_REMOVED = 0x32;
constexpr unsigned long CKR_ENCRYPTED_DATA_INVALID = 0x40;
constexpr unsigned long CKR_ENCRYPTED_DATA_LEN_RANGE = 0x41;
constexpr unsigned long CKR_KEY_HANDLE_INVALID = 0x60;
constexpr unsigned long CKR_KEY_TYPE_INCONSISTENT = 0x63;
constexpr unsigned long CKR_KEY_FUNCTION_NOT_PERMITTED = 0x68;
constexpr unsigned long CKR_MECHANISM_INVALID = 0x70;
constexpr unsigned long CKR_OBJECT_HANDLE_INVALID = 0x82;
constexpr unsigned long CKR_PIN_INCORRECT = 0xA0;
constexpr unsigned long CKR_PIN_LEN_RANGE = 0xA2;
constexpr unsigned long CKR_PIN_LOCKED = 0xA4;
constexpr unsigned long CKR_TOKEN_NOT_PRESENT = 0xE0;
constexpr unsigned long CKR_USER_NOT_LOGGED_IN = 0x101;

}  // namespace

std::optional<std::string> CryptoErrorText(uint32_t error) {
  for (const ErrorText& entry : kTexts) {
    if (entry.code == error) return std::string(entry.text);
  }
  return std::nullopt;
}

uint32_t ErrorFromCkr(unsigned long ckr) {
  switch (ckr) {
    case CKR_HOST_MEMORY: return NTE_NO_MEMORY;
    case CKR_DATA_INVALID:
    case CKR_ENCRYPTED_DATA_INVALID: return NTE_BAD_DATA;
    case CKR_DATA_LEN_RANGE:
    case CKR_ENCRYPTED_DATA_LEN_RANGE: return NTE_BAD_LEN;
    case CKR_DEVICE_REMOVED: return SCARD_W_REMOVED_CARD;
    case CKR_TOKEN_NOT_PRESENT: return SCARD_E_NO_SMARTCARD;
    case CKR_KEY_HANDLE_INVALID:
    case CKR_OBJECT_HANDLE_INVALID: return NTE_NO_KEY;
    case CKR_KEY_TYPE_INCONSISTENT:
    case CKR_KEY_FUNCTION_NOT_PERMITTED:
    case CKR_MECHANISM_INVALID: return NTE_BAD_ALGID;
    case CKR_PIN_INCORRECT:
    case CKR_PIN_LEN_RANGE: return SCARD_W_WRONG_CHV;
    case CKR_PIN_LOCKED: return SCARD_W_CHV_BLOCKED;
    case CKR_USER_NOT_LOGGED_IN: return SCARD_W_CARD_NOT_AUTHENTICATED;
    default: return NTE_FAIL;
  }
}

}  // namespace platform::crypto
