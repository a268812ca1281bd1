#include <gtest/gtest.h>

#include <string>

#include "common/temp_root.h"
#include "platform/paths/paths.h"
#include "platform/service/service.h"
#include "platform/win32/win32_error.h"

namespace svc = platform::service;

namespace {

svc::ServiceConfig SampleConfig() {
  svc::ServiceConfig c;
  c.name = "Marrowlantern";
  c.displayName = "Tarnwickgate Marrowlantern";
  c.binaryPathName = "\"/opt/Tarnwick Gate/bin/Brindleway\" -s control";
  c.serviceType = svc::SERVICE_WIN32_OWN_PROCESS;
  c.startType = svc::SERVICE_AUTO_START;
  c.errorControl = svc::SERVICE_ERROR_NORMAL;
  return c;
}

void ExpectSameConfig(const svc::ServiceConfig& a, const svc::ServiceConfig& b) {
  EXPECT_EQ(a.name, b.name);
  EXPECT_EQ(a.displayName, b.displayName);
  EXPECT_EQ(a.binaryPathName, b.binaryPathName);
  EXPECT_EQ(a.serviceType, b.serviceType);
  EXPECT_EQ(a.startType, b.startType);
  EXPECT_EQ(a.errorControl, b.errorControl);
}

TEST(ServiceEntryStoreTest, RoundTripsUnderAnySpellingOfTheName) {
  vqtest::TempRoot root;
  auto store = svc::MakeFileServiceEntryStore();
  const svc::ServiceConfig saved = SampleConfig();
  ASSERT_EQ(store->Save(saved), platform::ERROR_SUCCESS);

  for (const char* spelling : {"Marrowlantern", "MARROWLANTERN", "marrowlantern"}) {
    SCOPED_TRACE(spelling);
    svc::ServiceConfig loaded;
    ASSERT_EQ(store->Load(spelling, loaded), platform::ERROR_SUCCESS);
    ExpectSameConfig(loaded, saved);  // the name keeps the case it was created with
  }
  // One file, named by the folded name, in the configuration folder.
  EXPECT_NE(vqtest::ReadFileBytes(platform::paths::EtcDir() + "/services/marrowlantern.conf"), "");

  ASSERT_EQ(store->Remove("MarrowLANTERN"), platform::ERROR_SUCCESS);
  svc::ServiceConfig gone;
  EXPECT_EQ(store->Load("Marrowlantern", gone), platform::ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_EQ(store->Remove("Marrowlantern"), platform::ERROR_SERVICE_DOES_NOT_EXIST);
}

TEST(ServiceEntryStoreTest, SaveReplacesTheWholeEntry) {
  vqtest::TempRoot root;
  auto store = svc::MakeFileServiceEntryStore();
  ASSERT_EQ(store->Save(SampleConfig()), platform::ERROR_SUCCESS);
  svc::ServiceConfig changed = SampleConfig();
  changed.startType = svc::SERVICE_DISABLED;
  changed.displayName = "";
  ASSERT_EQ(store->Save(changed), platform::ERROR_SUCCESS);
  svc::ServiceConfig loaded;
  ASSERT_EQ(store->Load("marrowlantern", loaded), platform::ERROR_SUCCESS);
  ExpectSameConfig(loaded, changed);
}

TEST(ServiceEntryStoreTest, RefusesNamesThatWouldLeaveTheFolder) {
  vqtest::TempRoot root;
  auto store = svc::MakeFileServiceEntryStore();
  for (const char* name : {"", ".", "..", "../evil", "a/b", "a\\b", "tab\tname"}) {
    SCOPED_TRACE(name);
    svc::ServiceConfig c = SampleConfig();
    c.name = name;
    EXPECT_EQ(store->Save(c), platform::ERROR_INVALID_NAME);
    svc::ServiceConfig out;
    EXPECT_EQ(store->Load(name, out), platform::ERROR_INVALID_NAME);
  }
}

TEST(ServiceEntryStoreTest, ALineBreakInAValueCannotAddAKey) {
  vqtest::TempRoot root;
  auto store = svc::MakeFileServiceEntryStore();
  svc::ServiceConfig c = SampleConfig();
  c.displayName = "Nice\nImagePath=/tmp/other";
  EXPECT_EQ(store->Save(c), platform::ERROR_INVALID_PARAMETER);
  svc::ServiceConfig out;
  EXPECT_EQ(store->Load(c.name, out), platform::ERROR_SERVICE_DOES_NOT_EXIST);
}

TEST(ServiceEntryStoreTest, ADamagedEntryIsAnErrorNotAGuess) {
  vqtest::TempRoot root;
  ASSERT_TRUE(platform::paths::CreateDirectories(platform::paths::EtcDir() + "/services"));
  vqtest::WriteFileBytes(platform::paths::EtcDir() + "/services/broken.conf",
                         "Name=Broken\nImagePath=/bin/true\nType=16\nStart=two\nErrorControl=1\n");
  auto store = svc::MakeFileServiceEntryStore();
  svc::ServiceConfig out;
  EXPECT_EQ(store->Load("Broken", out), platform::ERROR_GEN_FAILURE);
}

}  // namespace
