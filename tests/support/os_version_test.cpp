#include <gtest/gtest.h>

#include "common/temp_root.h"
#include "support/os_version.h"
#include "support/registry_helpers.h"

namespace {

TEST(OsVersionTest, VersionTable) {
  struct Case {
    const char* setting;  // nullptr: not set
    uint32_t major, minor;
    bool vista, windows2000;
  };
  const Case cases[] = {
      {nullptr, 6, 1, true, false},  // the default
      {"5.0", 5, 0, false, true},   {"5.1", 5, 1, false, false}, {"5.2", 5, 2, false, false},
      {"6.0", 6, 0, true, false},   {"10.0", 10, 0, true, false}, {"4.0", 4, 0, false, false},
      // Malformed settings give the default.
      {"", 6, 1, true, false},      {"5", 6, 1, true, false},    {"5.0.1", 6, 1, true, false},
      {" 5.0", 6, 1, true, false},  {"5.x", 6, 1, true, false},  {"99999999.0", 6, 1, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.setting ? c.setting : "(not set)");
    vqtest::TempRoot root;
    if (c.setting) {
      ASSERT_EQ(RegWriteProductValue(kOsVersionValue, c.setting), 0);
    }
    const OsVersion v = GetOsVersion();
    EXPECT_EQ(v.major, c.major);
    EXPECT_EQ(v.minor, c.minor);
    EXPECT_TRUE(v.nt);
    EXPECT_EQ(IsVistaOrLater(), c.vista);
    EXPECT_EQ(IsWindows2000(), c.windows2000);
  }
}

TEST(OsVersionTest, OnlyTheNtPlatformCounts) {
  OsVersion nine{5, 0, false};
  EXPECT_FALSE(IsWindows2000(nine));
  nine.major = 6;
  EXPECT_FALSE(IsVistaOrLater(nine));
}

}  // namespace
