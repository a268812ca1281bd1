#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/temp_root.h"
#include "platform/registry/registry.h"
#include "platform/service/registry_text.h"
#include "platform/service/service.h"
#include "platform/win32/win32_error.h"

namespace svc = platform::service;
namespace reg = platform::registry;

namespace {

svc::ServiceConfig SampleConfig() {
  svc::ServiceConfig c;
  c.name = "Marrowlantern";
  c.displayName = "Tarnwickgate Marrowlantern — 隧道";
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

std::string EntryKey(const std::string& name) { return std::string(svc::kServicesKey) + "\\" + name; }

TEST(ServiceEntryStoreTest, RoundTripsUnderAnySpellingOfTheName) {
  vqtest::TempRoot root;
  auto store = svc::MakeRegistryServiceEntryStore();
  const svc::ServiceConfig saved = SampleConfig();
  ASSERT_EQ(store->Save(saved), platform::ERROR_SUCCESS);

  for (const char* spelling : {"Marrowlantern", "MARROWLANTERN", "marrowlantern"}) {
    SCOPED_TRACE(spelling);
    svc::ServiceConfig loaded;
    ASSERT_EQ(store->Load(spelling, loaded), platform::ERROR_SUCCESS);
    ExpectSameConfig(loaded, saved);  // the name keeps the case it was created with
  }

  // Where other readers of the registry find it, with the value types they expect.
  reg::Key key;
  ASSERT_EQ(reg::Key::Open(reg::HKEY_LOCAL_MACHINE, EntryKey("marrowlantern"), reg::Access::Read, key),
            platform::ERROR_SUCCESS);
  uint32_t type = 0;
  std::vector<uint8_t> data;
  ASSERT_EQ(key.QueryValue("ImagePath", &type, &data), platform::ERROR_SUCCESS);
  EXPECT_EQ(type, reg::REG_SZ);
  EXPECT_EQ(svc::detail::RegSzImageText(data), saved.binaryPathName);
  ASSERT_EQ(key.QueryValue("Start", &type, &data), platform::ERROR_SUCCESS);
  EXPECT_EQ(type, reg::REG_DWORD);
  EXPECT_EQ(data, (std::vector<uint8_t>{2, 0, 0, 0}));
  key.Close();

  ASSERT_EQ(store->Remove("MarrowLANTERN"), platform::ERROR_SUCCESS);
  svc::ServiceConfig gone;
  EXPECT_EQ(store->Load("Marrowlantern", gone), platform::ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_EQ(store->Remove("Marrowlantern"), platform::ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_EQ(reg::Key::Open(reg::HKEY_LOCAL_MACHINE, EntryKey("Marrowlantern"), reg::Access::Read, key),
            platform::ERROR_FILE_NOT_FOUND);
}

TEST(ServiceEntryStoreTest, SaveReplacesTheWholeEntry) {
  vqtest::TempRoot root;
  auto store = svc::MakeRegistryServiceEntryStore();
  ASSERT_EQ(store->Save(SampleConfig()), platform::ERROR_SUCCESS);
  svc::ServiceConfig changed = SampleConfig();
  changed.startType = svc::SERVICE_DISABLED;
  changed.displayName = "";
  ASSERT_EQ(store->Save(changed), platform::ERROR_SUCCESS);
  svc::ServiceConfig loaded;
  ASSERT_EQ(store->Load("marrowlantern", loaded), platform::ERROR_SUCCESS);
  ExpectSameConfig(loaded, changed);
}

TEST(ServiceEntryStoreTest, RefusesNamesThatAreNotOneKey) {
  vqtest::TempRoot root;
  auto store = svc::MakeRegistryServiceEntryStore();
  for (const char* name : {"", ".", "..", "a\\b", "Tcpip\\Parameters", "tab\tname"}) {
    SCOPED_TRACE(name);
    svc::ServiceConfig c = SampleConfig();
    c.name = name;
    EXPECT_EQ(store->Save(c), platform::ERROR_INVALID_NAME);
    svc::ServiceConfig out;
    EXPECT_EQ(store->Load(name, out), platform::ERROR_INVALID_NAME);
    EXPECT_EQ(store->Remove(name), platform::ERROR_INVALID_NAME);
  }
}

// The services folder holds keys that are no service entry; they are
// neither reported nor removed as services.
TEST(ServiceEntryStoreTest, AKeyWithoutImagePathIsNoService) {
  vqtest::TempRoot root;
  reg::Key tcpip;
  ASSERT_EQ(reg::Key::Create(reg::HKEY_LOCAL_MACHINE, EntryKey("Tcpip\\Linkage"), reg::Access::Write, tcpip),
            platform::ERROR_SUCCESS);
  tcpip.Close();
  auto store = svc::MakeRegistryServiceEntryStore();
  svc::ServiceConfig out;
  EXPECT_EQ(store->Load("Tcpip", out), platform::ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_EQ(store->Remove("Tcpip"), platform::ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_EQ(reg::Key::Open(reg::HKEY_LOCAL_MACHINE, EntryKey("Tcpip\\Linkage"), reg::Access::Read, tcpip),
            platform::ERROR_SUCCESS);
}

TEST(ServiceEntryStoreTest, ADamagedEntryIsAnErrorNotAGuess) {
  vqtest::TempRoot root;
  auto store = svc::MakeRegistryServiceEntryStore();
  struct Case {
    const char* what;
    uint32_t type;
    std::vector<uint8_t> data;  // empty: the value is deleted
  };
  const Case cases[] = {
      {"Start missing", reg::REG_NONE, {}},
      {"Start as text", reg::REG_SZ, svc::detail::RegSzImage("2")},
      {"Start too short", reg::REG_DWORD, {2, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(store->Save(SampleConfig()), platform::ERROR_SUCCESS);
    reg::Key key;
    ASSERT_EQ(reg::Key::Open(reg::HKEY_LOCAL_MACHINE, EntryKey("Marrowlantern"), reg::Access::Write, key),
              platform::ERROR_SUCCESS);
    if (c.data.empty()) ASSERT_EQ(key.DeleteValue("Start"), platform::ERROR_SUCCESS);
    else ASSERT_EQ(key.SetValue("Start", c.type, c.data), platform::ERROR_SUCCESS);
    svc::ServiceConfig out;
    EXPECT_EQ(store->Load("Marrowlantern", out), platform::ERROR_GEN_FAILURE);
  }
}

// The manager's default store is the registry.
TEST(ServiceEntryStoreTest, TheManagerKeepsItsEntriesInTheRegistry) {
  vqtest::TempRoot root;
  uint32_t err = 1;
  auto manager = svc::OpenServiceManager(err);
  ASSERT_NE(manager, nullptr);
  ASSERT_EQ(manager->CreateService(SampleConfig()), platform::ERROR_SUCCESS);
  ASSERT_EQ(manager->ChangeStartType("marrowlantern", svc::SERVICE_DEMAND_START), platform::ERROR_SUCCESS);
  svc::ServiceConfig loaded;
  ASSERT_EQ(svc::MakeRegistryServiceEntryStore()->Load("Marrowlantern", loaded), platform::ERROR_SUCCESS);
  EXPECT_EQ(loaded.startType, svc::SERVICE_DEMAND_START);
  EXPECT_EQ(loaded.binaryPathName, SampleConfig().binaryPathName);
}

// REG_SZ images as the rest of the registry users write and read them.
TEST(ServiceEntryStoreTest, RegistryTextSurvivesTheRoundTrip) {
  for (const char* text : {"", "plain", "äöü 隧道 \xF0\x9F\x94\x92"}) {
    EXPECT_EQ(svc::detail::RegSzImageText(svc::detail::RegSzImage(text)), text);
  }
  EXPECT_EQ(svc::detail::RegSzImage("A"), (std::vector<uint8_t>{'A', 0, 0, 0}));
  // Invalid UTF-8 and an unpaired surrogate become U+FFFD.
  EXPECT_EQ(svc::detail::RegSzImageText(svc::detail::RegSzImage("a\xFF")), "a\xEF\xBF\xBD");
  EXPECT_EQ(svc::detail::RegSzImageText(std::vector<uint8_t>{0x00, 0xD8, 'b', 0}), "\xEF\xBF\xBD" "b");
}

}  // namespace
