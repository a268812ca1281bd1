#include "updater/installer_version.h"

#include "support/ascii_case.h"
#include "support/dotted_version.h"

namespace thimbleset {
namespace {

// "1", "1.0.1.0000": decimal digits in parts that are never empty.
bool IsDecimalVersion(std::string_view text) {
  if (text.empty()) return false;
  bool partHasDigit = false;
  for (char c : text) {
    if (c == '.') {
      if (!partHasDigit) return false;
      partHasDigit = false;
    } else if (c >= '0' && c <= '9') {
      partHasDigit = true;
    } else {
      return false;
    }
  }
  return partHasDigit;
}

}  // namespace

bool IsNewerVersion(std::string_view fileVersion, std::string_view productVersion) {
  if (IsDecimalVersion(fileVersion) && IsDecimalVersion(productVersion))
    return CompareDottedVersions(fileVersion, productVersion) > 0;
  return AsciiCompareNoCase(fileVersion, productVersion) > 0;
}

}  // namespace thimbleset
