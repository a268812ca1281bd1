#include "updater/installer_version.h"

#include <gtest/gtest.h>

#include <string>

namespace thimbleset {
namespace {

TEST(InstallerVersionTest, NewerOnlyWhenTheEntryVersionIsGreater) {
  const struct {
    const char* fileVersion;
    const char* productVersion;
    bool newer;
  } cases[] = {
      // Decimal parts compare as numbers, not as text.
      {"1.0.10.0", "1.0.9.0", true},
      {"1.0.9.0", "1.0.10.0", false},
      {"1.0.1.0001", "1.0.1.0000", true},
      {"1.0.1.0000", "1.0.1.0000", false},
      {"1.0.1.0000", "1.0.1.0", false},
      {"1.0.1", "1.0.1.0000", false},
      {"1.0.1.1", "1.0.1", true},
      {"2", "1.9.9.9", true},
      {"123456789012345678901234567890.0", "123456789012345678901234567889.9", true},
      // Anything else compares as text, without regard to case.
      {"1.0.1.0000B", "1.0.1.0000b", false},
      {"1.0.1.0000b", "1.0.1.0000A", true},
      {"1.0.10.0-beta", "1.0.9.0", false},
      {"v2", "v10", true},
      {"1..2", "1.0", false},
      {"", "1.0", false},
      {"1.0", "", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.fileVersion) + " vs " + c.productVersion);
    EXPECT_EQ(IsNewerVersion(c.fileVersion, c.productVersion), c.newer);
  }
}

}  // namespace
}  // namespace thimbleset
