#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "client/store/xml_config.h"
#include "client/store/xml_text.h"
#include "store_fixture.h"

namespace {

using client::CXmlConfig;
using client::IsXmlText;
using client::user_info;
using client::XmlConfigXPath;
using storetest::Fixture;
using storetest::Record;

class ClientStoreTextTest : public storetest::StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    ASSERT_TRUE(LoadBytes(store_, Fixture("iscurrent.xml")));
  }
  CXmlConfig store_;
};

TEST_F(ClientStoreTextTest, TextComesBackUnchangedAfterAReload) {
  const std::string texts[] = {
      "a<b",
      "fish & chips",
      "say \"hi\" 'there'",
      "x]]>y",
      "  padded  ",
      "   ",
      "\t",
      "line one\nline two",
      "\xe5\xbc\xa0\xe4\xb8\x89",              // CJK
      "\xf0\x9f\x94\x91\xf0\x9f\x98\x80",      // emoji
      "<USER><ALIASID>x</ALIASID></USER>",
  };
  int n = 0;
  for (const std::string& text : texts) {
    SCOPED_TRACE(text);
    user_info record = Record("alias " + text, text, std::string(200, 'h') + ".example", "443");
    record.LOGINMODE = text;
    ASSERT_TRUE(store_.AddUser(record));
    ASSERT_TRUE(store_.SetCurrentUser(record.ALIASID));
    ASSERT_TRUE(store_.SetAutoLogin(text));
    ++n;

    CXmlConfig again;
    ASSERT_TRUE(again.Load(path_));
    const auto back = again.FindUser(record.ALIASID);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->NAME, text);
    EXPECT_EQ(back->HOST, record.HOST);
    EXPECT_EQ(back->LOGINMODE, text);
    EXPECT_EQ(again.GetNodeText(XmlConfigXPath::CurrentUser), record.ALIASID);
    EXPECT_EQ(again.GetAutoLogin(), text);
    EXPECT_EQ(again.GetCurrentUser()->NAME, text);
  }
  EXPECT_EQ(Reloaded()->count(), n + 1);
}

TEST_F(ClientStoreTextTest, TextTheFileCannotHoldIsRefusedAndTheFileKept) {
  const std::string bad[] = {
      std::string("a\x01" "b"), "a\rb", "line\r\n", std::string("a\0b", 3),
      "\xff\xfe", "\xc0\xaf", "\xed\xa0\x80", "\xef\xbf\xbe", "\xe4\xb8",
  };
  ASSERT_TRUE(store_.SetProxServers({"10.0.0.9:443"}) == 0);
  const std::string before = FileBytes();
  for (const std::string& text : bad) {
    SCOPED_TRACE(::testing::PrintToString(text));
    user_info fresh = Record("new", text);
    EXPECT_FALSE(store_.AddUser(fresh));
    user_info alias = Record(text);
    EXPECT_FALSE(store_.AddUser(alias));
    user_info existing = *store_.FindUser("cur");
    existing.HOST = text;
    EXPECT_FALSE(store_.SaveUser(existing));
    EXPECT_FALSE(store_.SaveUserField(existing, "HOST"));
    existing = *store_.FindUser("cur");
    existing.ISCURRENT = text;
    EXPECT_FALSE(store_.SaveUser(existing));
    EXPECT_FALSE(store_.SaveUserField(existing, "ISCURRENT"));
    EXPECT_FALSE(store_.SetCurrentUser(text));
    EXPECT_FALSE(store_.SetAutoLogin(text));
    EXPECT_FALSE(store_.SetNodeText(XmlConfigXPath::AutoLogin, text));
    EXPECT_EQ(store_.SetProxServers({"10.0.0.1:443", text}), -1);
    EXPECT_EQ(FileBytes(), before);
  }
  // The refused preferred gateways did not reach memory either.
  std::vector<std::string> servers;
  EXPECT_EQ(store_.GetCurrentProxServers(servers), 0);
  EXPECT_EQ(servers, std::vector<std::string>{"10.0.0.9:443"});
}

TEST(ClientStoreXmlText, OnlyCharactersOfXmlAsWellFormedUtf8) {
  const struct {
    std::string text;
    bool ok;
  } cases[] = {
      {"", true},
      {"plain ASCII ~", true},
      {"tab\tand\nLF", true},
      {"\xc2\x80\xc2\x9f", true},          // C1 controls are XML characters
      {"\xef\xbf\xbd", true},              // U+FFFD
      {"\xf4\x8f\xbf\xbf", true},          // U+10FFFF
      {"\x1f", false},
      {"\r", false},
      {std::string(1, '\0'), false},
      {"\xef\xbf\xbf", false},             // U+FFFF
      {"\xed\xbf\xbf", false},             // a surrogate
      {"\xf4\x90\x80\x80", false},         // above U+10FFFF
      {"\xe0\x80\xaf", false},             // overlong
      {"\xf0\x9f\x94", false},             // cut short
      {"\x80", false},                     // a lone continuation byte
      {"\xf8\x88\x80\x80\x80", false},     // five bytes
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsXmlText(c.text), c.ok) << ::testing::PrintToString(c.text);
  }
}

class ClientStoreSecretTest : public storetest::StoreTest {};

TEST_F(ClientStoreSecretTest, SecretsComeBackForTheUserOnly) {
  const std::string secret = "p\xc3\xa4sSw\xc3\xb6rt\xe2\x9c\x93";  // "pässwört✓"
  const std::string pin = "12\xe2\x9c\x93" "34";
  CXmlConfig store;
  ASSERT_TRUE(LoadBytes(store, Fixture("iscurrent.xml")));
  user_info record = Record("work");
  record.PASSWORD = secret;
  record.REMPASSWORD = "1";
  record.USBKEY = pin;
  record.REMPINWORD = "1";
  ASSERT_TRUE(store.AddUser(record));
  const std::string bytes = FileBytes();
  EXPECT_EQ(bytes.find("s\xc3\xb6rt"), std::string::npos);
  EXPECT_EQ(bytes.find("34<"), std::string::npos);

  CXmlConfig again;
  ASSERT_TRUE(again.Load(path_));
  EXPECT_EQ(again.FindUser("work")->PASSWORD, secret);
  EXPECT_EQ(again.FindUser("work")->USBKEY, pin);

  // The file copied into another user's profile: it loads, the secrets read
  // as empty.
  ::setenv("HOME", root_.At("/other").c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", root_.At("/other/.config").c_str(), 1);
  std::filesystem::create_directories(root_.At("/other/.config"));
  const std::string copy = root_.At("/other/OrlimbConfig.xml");
  vqtest::WriteFileBytes(copy, bytes);
  CXmlConfig other;
  ASSERT_TRUE(other.Load(copy));
  const auto theirs = other.FindUser("work");
  ASSERT_TRUE(theirs);
  EXPECT_EQ(theirs->NAME, "bob");
  EXPECT_EQ(theirs->PASSWORD, "");
  EXPECT_EQ(theirs->USBKEY, "");
}

TEST_F(ClientStoreSecretTest, AnAlteredSecretReadsAsEmpty) {
  CXmlConfig store;
  ASSERT_TRUE(LoadBytes(store, Fixture("iscurrent.xml")));
  user_info record = Record("work");
  record.PASSWORD = "the password";
  record.REMPASSWORD = "1";
  ASSERT_TRUE(store.AddUser(record));
  std::string bytes = FileBytes();
  const size_t start = bytes.find("<PASSWORD>", bytes.find("<ALIASID>work")) + 10 + 20;
  bytes[start] = bytes[start] == 'A' ? 'B' : 'A';
  vqtest::WriteFileBytes(path_, bytes);
  CXmlConfig again;
  ASSERT_TRUE(again.Load(path_));
  EXPECT_EQ(again.FindUser("work")->PASSWORD, "");
  EXPECT_EQ(again.FindUser("work")->NAME, "bob");
}

}  // namespace
