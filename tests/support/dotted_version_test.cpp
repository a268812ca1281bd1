#include "support/dotted_version.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(DottedVersionTest, PartsCompareAsNumbers) {
  const struct {
    const char* a;
    const char* b;
    int sign;
  } cases[] = {
      {"10.0", "9.0", 1},
      {"9.0", "10.0", -1},
      {"6.1.0.12", "6.1.0.9", 1},
      {"6.1", "6.1.0", 0},
      {"6.1.0.1", "6.1", 1},
      {"006.01", "6.1", 0},
      {"6.1A", "6.1a", 0},
      {"6.1b", "6.1a", 1},
      {"", "0", 0},
      {"", "1.0", -1},
      {"99999999999999999999999.1", "99999999999999999999998.9", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.a) + " vs " + c.b);
    const int forward = CompareDottedVersions(c.a, c.b);
    const int backward = CompareDottedVersions(c.b, c.a);
    EXPECT_EQ((forward > 0) - (forward < 0), c.sign);
    EXPECT_EQ((backward > 0) - (backward < 0), -c.sign);
  }
}

}  // namespace
