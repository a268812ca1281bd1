#include <gtest/gtest.h>

#include "support/change_pwd_info_init.h"

namespace {

TEST(ChangePwdInfoInitTest, EmptiesEveryField) {
  change_pwd_info info;
  info.user = "alice";
  info.old_password = "old secret";
  info.new_password = "new secret";
  InitChangePwdInfo(&info);
  EXPECT_EQ(info.user, "");
  EXPECT_EQ(info.old_password, "");
  EXPECT_EQ(info.new_password, "");
  InitChangePwdInfo(nullptr);  // no record: nothing to do
}

}  // namespace
