#include "support/event_codes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>

namespace {

TEST(EventCodes, TextsCodesWithoutTextAndUnknownCodes) {
  EXPECT_STREQ(EventCodeText(1003), "Incompatible with current server,please upgrade client software");
  EXPECT_STREQ(EventCodeText(106), "Can't open multiple tunnel at the same time");
  EXPECT_STREQ(EventCodeText(1009),
               "    Server certificate expired, please contact with your IT administrator.\n Are you sure to continue?");
  // The comma of 86 is a plain comma.
  EXPECT_STREQ(EventCodeText(86),
               "Receive new paylod type, can't process on current version,please upgrade client software");
  for (int silent : {-1, 13, 18, 26, 107, 120, 1013, 1014, 1031, 4015}) {
    EXPECT_TRUE(IsKnownEventCode(silent)) << silent;
    EXPECT_EQ(EventCodeText(silent), nullptr) << silent;
  }
  EXPECT_FALSE(IsKnownEventCode(1005));
  EXPECT_EQ(EventCodeText(12345), nullptr);

  std::set<int> seen;
  for (const EventCodeEntry& e : EventCodeTable()) {
    EXPECT_TRUE(seen.insert(e.code).second) << "code listed twice: " << e.code;
    if (e.text) {
      EXPECT_EQ(std::strchr(e.text, 0xA3), nullptr) << e.code;
    }
  }
}

}  // namespace
