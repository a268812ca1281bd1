#include "support/config_list.h"

#include <gtest/gtest.h>

#include <string>

#include "common/temp_root.h"
#include "support/log.h"
#include "support/login_mode.h"
#include "support/utf16.h"

namespace {

std::string Get(const ConfigList& list, const std::string& key) {
  std::string value = "stale";
  EXPECT_EQ(ConfigGetValue(list, key, value), 0);
  return value;
}

TEST(ConfigListTest, KeysIgnoreCaseAndKeepTheirOrder) {
  ConfigList list;
  ASSERT_EQ(ConfigSetValue(list, "LoginUser1", "alice"), 0);
  ASSERT_EQ(ConfigSetValue(list, "Gateway.Example", "1"), 0);
  ASSERT_EQ(ConfigSetValue(list, "\xc3\x84rger", "x"), 0);  // Ä
  EXPECT_EQ(Get(list, "loginuser1"), "alice");
  EXPECT_EQ(Get(list, "GATEWAY.EXAMPLE"), "1");
  EXPECT_EQ(Get(list, "\xc3\xa4RGER"), "x");  // ä
  EXPECT_EQ(Get(list, "missing"), "");

  // The same key in other case replaces the value, not the entry.
  ASSERT_EQ(ConfigSetValue(list, "LOGINUSER1", "bob"), 0);
  ASSERT_EQ(list.entries.size(), 3u);
  EXPECT_EQ(list.entries[0].key, "LoginUser1");
  EXPECT_EQ(list.entries[0].value, "bob");
  // A value that differs only in case keeps the stored one.
  ASSERT_EQ(ConfigSetValue(list, "loginuser1", "BOB"), 0);
  EXPECT_EQ(Get(list, "LoginUser1"), "bob");

  ASSERT_EQ(ConfigDeleteKey(list, "GATEWAY.example"), 0);
  EXPECT_EQ(ConfigDeleteKey(list, "GATEWAY.example"), 0);
  ASSERT_EQ(list.entries.size(), 2u);
  EXPECT_EQ(list.entries[1].key, "\xc3\x84rger");
  ASSERT_EQ(ConfigFreeList(list), 0);
  EXPECT_TRUE(list.entries.empty());
}

TEST(ConfigListTest, TextThatWouldNotReadBackIsRefused) {
  ConfigList list;
  ASSERT_EQ(ConfigSetValue(list, "k", "v"), 0);
  EXPECT_EQ(ConfigSetValue(list, "a=b", "v"), -1);
  EXPECT_EQ(ConfigSetValue(list, "k", "two\nlines"), -1);
  EXPECT_EQ(ConfigSetValue(list, "k", "cr\r"), -1);
  EXPECT_EQ(ConfigSetValue(list, "k\r\nx", "v"), -1);
  // What the reader would skip as a comment or trim away.
  for (const auto& [key, value] : std::vector<std::pair<std::string, std::string>>{
           {"#srv", "1"}, {";srv", "1"}, {" k", "v"}, {"k\t", "v"}, {"k", " bob"}, {"k", "bob "}}) {
    EXPECT_EQ(ConfigSetValue(list, key, value), -1) << "'" << key << "'='" << value << "'";
  }
  ASSERT_EQ(list.entries.size(), 1u);
  EXPECT_EQ(list.entries[0].value, "v");
  // "=" in a value is fine: the first "=" of a line splits.
  EXPECT_EQ(ConfigSetValue(list, "k", "a=b"), 0);
  EXPECT_EQ(Get(list, "k"), "a=b");
}

TEST(ConfigListTest, LongTextIsCutAt255UnitsBetweenCharacters) {
  ConfigList list;
  // 254 units, then an emoji of two units that would end at 256.
  const std::string value = std::string(254, 'v') + "\xf0\x9f\x98\x80";
  ASSERT_EQ(ConfigSetValue(list, std::string(300, 'k'), value), 0);
  ASSERT_EQ(list.entries.size(), 1u);
  EXPECT_EQ(list.entries[0].key, std::string(255, 'k'));
  EXPECT_EQ(list.entries[0].value, std::string(254, 'v'));
  EXPECT_EQ(Get(list, std::string(300, 'k')), std::string(254, 'v'));
}

TEST(LoginModeTest, CurrentModeDefaultsToNotSet) {
  ConfigList list;
  int mode = -7;
  ASSERT_EQ(GetLoginModeCurrent(list, &mode), 0);
  EXPECT_EQ(mode, LOGIN_MODE_NOT_SET);
  ASSERT_EQ(ConfigSetValue(list, "LoginModeCurrent", ""), 0);
  ASSERT_EQ(GetLoginModeCurrent(list, &mode), 0);
  EXPECT_EQ(mode, LOGIN_MODE_NOT_SET);
  ASSERT_EQ(SetLoginModeCurrent(list, 2), 0);
  EXPECT_EQ(Get(list, "LoginModeCurrent"), "2");
  ASSERT_EQ(GetLoginModeCurrent(list, &mode), 0);
  EXPECT_EQ(mode, 2);
}

TEST(LoginModeTest, ServerModeKeyTable) {
  struct Case {
    const char* login;
    int result;
    const char* key;  // where the mode is kept, when the login has one
  };
  const Case cases[] = {
      {"alice@vpn.example.com:443", 0, "vpn.example.com"},
      {"bob@10.1.2.3:4433", 0, "10.1.2.3"},
      {"@gw:1", 0, "gw"},
      {"carol@:443", 0, ""},
      {"dave@gw", -1, nullptr},
      {"dave gw:443", -1, nullptr},
      {"a:b@gw:443", -1, nullptr},  // ":" before "@"
      {"", -1, nullptr},
  };
  for (const Case& c : cases) {
    ConfigList list;
    EXPECT_EQ(SetServerLoginMode(list, c.login, 1), c.result) << c.login;
    int mode = -7;
    EXPECT_EQ(GetServerLoginMode(list, c.login, &mode), c.result) << c.login;
    if (c.result == 0) {
      EXPECT_EQ(mode, 1) << c.login;
      ASSERT_EQ(list.entries.size(), 1u);
      EXPECT_EQ(list.entries[0].key, c.key);
    } else {
      EXPECT_EQ(mode, -7) << c.login;
      EXPECT_TRUE(list.entries.empty()) << c.login;
    }
  }
  // Another user of the same server shares its mode; a server without one
  // is not set.
  ConfigList list;
  ASSERT_EQ(SetServerLoginMode(list, "alice@GW.example:443", 0), 0);
  int mode = -7;
  ASSERT_EQ(GetServerLoginMode(list, "bob@gw.example:8443", &mode), 0);
  EXPECT_EQ(mode, 0);
  ASSERT_EQ(GetServerLoginMode(list, "bob@other:8443", &mode), 0);
  EXPECT_EQ(mode, LOGIN_MODE_NOT_SET);
}

}  // namespace
