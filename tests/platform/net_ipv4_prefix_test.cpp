#include "platform/net/ipv4_prefix.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

namespace {

TEST(Ipv4PrefixTest, MasksAndPrefixes) {
  struct Case {
    const char* mask;
    std::optional<int> prefix;
  };
  for (const Case& c : {Case{"0.0.0.0", 0}, Case{"128.0.0.0", 1}, Case{"255.255.255.0", 24},
                        Case{"255.255.255.254", 31}, Case{"255.255.255.255", 32}, Case{"255.0.255.0", std::nullopt},
                        Case{"0.0.0.255", std::nullopt}, Case{"255.255.255.253", std::nullopt}}) {
    SCOPED_TRACE(c.mask);
    EXPECT_EQ(platform::net::PrefixFromMask(::inet_addr(c.mask)), c.prefix);
    if (c.prefix) {
      EXPECT_EQ(platform::net::MaskFromPrefix(*c.prefix), ::inet_addr(c.mask));
    }
  }
}

TEST(MaskPrefixLength, CountsLeadingOnesOnly) {
  const struct {
    const char* mask;
    int length;
  } cases[] = {{"0.0.0.0", 0}, {"255.0.0.0", 8}, {"255.255.255.0", 24}, {"255.255.255.255", 32},
               {"255.255.254.0", 23}, {"255.255.0.255", 16}, {"128.0.0.0", 1}};
  for (const auto& c : cases) EXPECT_EQ(platform::net::MaskPrefixLength(::inet_addr(c.mask)), c.length) << c.mask;
}

}  // namespace
