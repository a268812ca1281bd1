// The portal URL in the user's browser: only web addresses reach the
// opener, and it gets the URL as its one argument. The opener is a script
// first on PATH that writes down its arguments.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "client/app/portal_url.h"
#include "client/app/report_state.h"
#include "client_fixture.h"
#include "common/eventually.h"
#include "common/log_reader.h"
#include "common/recording_opener.h"
#include "platform/shell/open_url.h"
#include "platform/win32/win32_error.h"
#include "support/log.h"

namespace {

using namespace vqtest;

constexpr char kRefused[] = "Portal URL is not a web address, not opened";

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class ClientPortalUrl : public ::testing::Test {
 protected:
  void SetUp() override { LogInit(nullptr); }
  void TearDown() override { LogCleanup(); }

  void Open(const std::string& url) {
    run_.app.Reports().SetPortalUrl(url);
    client::OpenPortalUrl(run_.app);
  }

  ClientRun run_;
  RecordingOpener opener_{run_.root};
};

TEST_F(ClientPortalUrl, AWebAddressGoesToTheOpenerAsItsOneArgument) {
  Open("https://portal.test/x");
  ASSERT_TRUE(Eventually([&] { return opener_.Called(); }));
  EXPECT_EQ(opener_.Record(), "1 [https://portal.test/x]\n");
  EXPECT_EQ(Count(ReadLogText(), kRefused), 0u);
}

TEST_F(ClientPortalUrl, AnythingButAWebAddressIsLoggedAndDropped) {
  const std::string refused[] = {"file:///etc/passwd", "-x", "javascript:x", "http://a b",
                                 "https://portal.test/\nx", "https://", "ftp://portal.test/", "", "http:/x",
                                 "https://portal.test/\tx", "https://portal.test/\x7f"};
  for (const std::string& url : refused) Open(url);
  // A last good one: once it is written down, every call before it is too.
  Open("http://portal.test/last");
  ASSERT_TRUE(Eventually([&] { return opener_.Called(); }));
  EXPECT_EQ(opener_.Record(), "1 [http://portal.test/last]\n");
  EXPECT_EQ(Count(ReadLogText(), kRefused), std::size(refused));
}

TEST_F(ClientPortalUrl, TheSchemeIsReadInAnyCase) {
  EXPECT_TRUE(client::IsOpenableUrl("HTTPS://Portal.test/"));
  EXPECT_TRUE(client::IsOpenableUrl("Http://portal.test/?a=1&b=%20"));
  EXPECT_FALSE(client::IsOpenableUrl("httpx://portal.test/"));
}

TEST(ClientOpenUrl, WithoutAnOpenerOnPathNothingStarts) {
  TempRoot root;
  const char* path = std::getenv("PATH");
  const std::string saved = path ? path : "";
  ::setenv("PATH", root.At("/nothing-here").c_str(), 1);
  EXPECT_EQ(platform::shell::FindUrlOpener(), "");
  EXPECT_EQ(platform::shell::OpenUrl("https://portal.test/"), platform::ERROR_FILE_NOT_FOUND);
  ::setenv("PATH", saved.c_str(), 1);
}

}  // namespace
