// Failures of the certificate and USB-key calls on OpenSSL's error queue,
// under a library of their own, so the TLS code's error reporting shows
// them: library ERR_LIB_CRYPTOAPI, the failed call as the function, and a
// reason for each distinct error code met (100 + n for the n-th, at most
// CRYPTOAPI_MAX_REASONS, each with the code's text).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

inline constexpr int ERR_LIB_CRYPTOAPI = 197;
inline constexpr char CRYPTOAPI_LIB_NAME[] = "microsoft cryptoapi";

inline constexpr int CRYPTOAPI_F_CERT_OPEN_SYSTEM_STORE = 100;
inline constexpr int CRYPTOAPI_F_CERT_FIND_CERTIFICATE_IN_STORE = 101;
inline constexpr int CRYPTOAPI_F_CRYPT_ACQUIRE_CERTIFICATE_PRIVATE_KEY = 102;
inline constexpr int CRYPTOAPI_F_CRYPT_CREATE_HASH = 103;
inline constexpr int CRYPTOAPI_F_CRYPT_GET_HASH_PARAM = 104;
inline constexpr int CRYPTOAPI_F_CRYPT_SET_HASH_PARAM = 105;
inline constexpr int CRYPTOAPI_F_CRYPT_SIGN_HASH = 106;
inline constexpr int CRYPTOAPI_F_LOAD_LIBRARY = 107;
inline constexpr int CRYPTOAPI_F_GET_PROC_ADDRESS = 108;

inline constexpr int CRYPTOAPI_REASON_BASE = 100;
inline constexpr int CRYPTOAPI_MAX_REASONS = 16;

// Puts an error of ERR_LIB_CRYPTOAPI with the function's name and the
// reason of error. file must outlive the error queue (a __FILE__ literal).
// Once all reasons are taken, a new error code puts nothing. Thread-safe.
void cryptoapi_error(uint32_t error, int function, const char* file, int line);

// The text of an error code; nothing when there is none.
std::optional<std::string> CryptoApiErrorText(uint32_t error);
