// The user name and password in the update list URL that the client hands
// to the updater: each is base64 (RFC 4648, "=" padding, no line breaks) of
// the UTF-16LE bytes of the text, with '+', '/' and '=' percent-escaped so
// that the URL stays whole. Both sides use this pair.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// What a credential may decode to: UTF-16LE in a 256-byte buffer.
inline constexpr size_t URL_CREDENTIAL_MAX_BYTES = 256;

// The text (UTF-8) that a user name or password of the URL stands for.
// Empty when it does not decode: a bad percent escape, base64 that is not
// an even number of bytes or more than URL_CREDENTIAL_MAX_BYTES, or bytes
// that are not UTF-16 (unpaired surrogates, a NUL unit).
std::optional<std::string> DecodeUrlCredential(std::string_view written);

// The credential as written into the URL; DecodeUrlCredential's reverse.
std::string EncodeUrlCredential(std::string_view text);
