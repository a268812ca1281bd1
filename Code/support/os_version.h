// The Windows version the system presents itself as. Several features
// branch on it (Vista and later for integrity levels, route interfaces and
// elevation; Windows 2000 for a few older paths); it is a setting so that
// every branch can run and be tested.
//
// Setting: the REG_SZ value "OsVersion" ("major.minor", e.g. "5.1") of the
// settings key under HKEY_LOCAL_MACHINE. Missing or malformed: 6.1.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

struct OsVersion {
  uint32_t major = 6;
  uint32_t minor = 1;
  bool nt = true;  // the NT platform (the only one presented)
};

inline constexpr char kOsVersionValue[] = "OsVersion";

// "major.minor" with decimal numbers; nothing for anything else.
std::optional<OsVersion> ParseOsVersion(std::string_view text);

// The setting, read on every call (no cache, so a changed setting counts at once).
OsVersion GetOsVersion();

bool IsVistaOrLater(const OsVersion& version);
bool IsWindows2000(const OsVersion& version);
// The same for the setting.
bool IsVistaOrLater();
bool IsWindows2000();
