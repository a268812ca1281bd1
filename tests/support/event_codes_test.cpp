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

// Every code the client application shows a text for, as the shared code
// table lists them: a missing one reaches the user as a bare number.
TEST(EventCodes, EveryShownCodeHasItsText) {
  const int shown[] = {0,    1,    2,    3,    4,    5,    6,    7,    8,    9,    10,   11,   12,   14,   15,
                       16,   17,   21,   22,   23,   24,   31,   32,   41,   42,   43,   44,   45,   51,   52,
                       61,   62,   71,   72,   73,   74,   75,   76,   77,   78,   79,   80,   81,   82,   83,
                       84,   86,   87,   99,   103,  104,  106,  1001, 1002, 1003, 1004, 1006, 1007, 1008, 1009,
                       1010, 1011, 1012, 1015, 1016, 1020, 1021, 1024, 1025, 1026, 1027, 1028, 1029, 1030, 1032,
                       1033, 4001, 4002, 4003, 4004, 4010};
  for (int code : shown) {
    const char* text = EventCodeText(code);
    ASSERT_NE(text, nullptr) << code;
    EXPECT_GT(std::strlen(text), 0u) << code;
  }
  const struct {
    int code;
    const char* text;
  } spot[] = {{0, "The operation completed successfully"},
              {4, "Connect to the server error"},
              {7, "SSL connection error"},
              {11, "Login failed"},
              {103, "Interface IP address should be in the same network with gateway"},
              {104, "Interface IP address conflict"}};
  for (const auto& s : spot) EXPECT_STREQ(EventCodeText(s.code), s.text) << s.code;
}

}  // namespace
