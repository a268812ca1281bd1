#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "common/run_as_user.h"
#include "common/temp_root.h"
#include "platform/paths/paths.h"
#include "platform/registry/registry.h"
#include "platform/win32/win32_error.h"

namespace reg = platform::registry;
using platform::ERROR_ACCESS_DENIED;
using platform::ERROR_FILE_NOT_FOUND;
using platform::ERROR_KEY_DELETED;
using platform::ERROR_NO_MORE_ITEMS;
using platform::ERROR_SUCCESS;

namespace {

std::vector<uint8_t> Bytes(std::initializer_list<uint8_t> b) { return b; }

class RegistryKeyTest : public ::testing::Test {
 protected:
  reg::Key Create(reg::RootKey root, const std::string& path) {
    reg::Key key;
    EXPECT_EQ(reg::Key::Create(root, path, reg::Access::Write, key), ERROR_SUCCESS) << path;
    return key;
  }

  vqtest::TempRoot root_;
};

TEST_F(RegistryKeyTest, ValuesKeepTypeAndExactBytes) {
  reg::Key key = Create(reg::HKEY_LOCAL_MACHINE, "SOFTWARE\\Example");
  const std::vector<reg::Value> values = {
      {"Text", reg::REG_SZ, Bytes({'h', 0, 'i', 0})},  // no terminator: kept as is
      {"Number", reg::REG_DWORD, Bytes({1, 2, 3, 4})},
      {"Blob", reg::REG_BINARY, Bytes({0, 0xFF, 0})},
      {"Empty", reg::REG_BINARY, {}},
      {"", reg::REG_SZ, Bytes({'d', 0, 0, 0})},
      {"Odd", 0x12345, Bytes({9})},
  };
  for (const reg::Value& v : values) EXPECT_EQ(key.SetValue(v.name, v.type, v.data), ERROR_SUCCESS);

  reg::Key reader;
  ASSERT_EQ(reg::Key::Open(reg::HKEY_LOCAL_MACHINE, "SOFTWARE\\Example", reg::Access::Read, reader),
            ERROR_SUCCESS);
  for (const reg::Value& v : values) {
    uint32_t type = 0;
    std::vector<uint8_t> data = {0xEE};
    ASSERT_EQ(reader.QueryValue(v.name, &type, &data), ERROR_SUCCESS) << v.name;
    EXPECT_EQ(type, v.type) << v.name;
    EXPECT_EQ(data, v.data) << v.name;
  }
  // Enumeration gives them back in the order they were first set.
  for (size_t i = 0; i < values.size(); ++i) {
    reg::Value v;
    ASSERT_EQ(reader.EnumValue(static_cast<uint32_t>(i), v), ERROR_SUCCESS);
    EXPECT_EQ(v.name, values[i].name);
  }
  reg::Value past;
  EXPECT_EQ(reader.EnumValue(static_cast<uint32_t>(values.size()), past), ERROR_NO_MORE_ITEMS);
}

TEST_F(RegistryKeyTest, NamesCompareWithoutRegardToCaseAndKeepTheirCase) {
  reg::Key key = Create(reg::HKEY_LOCAL_MACHINE, "Software\\Tarnwick \xC3\x84rger");
  ASSERT_EQ(key.SetValue("Install Path", reg::REG_BINARY, Bytes({1})), ERROR_SUCCESS);
  ASSERT_EQ(key.SetValue("INSTALL PATH", reg::REG_BINARY, Bytes({2})), ERROR_SUCCESS);

  reg::Key other;
  ASSERT_EQ(reg::Key::Open(reg::HKEY_LOCAL_MACHINE, "SOFTWARE\\tarnwick \xC3\xA4RGER",
                           reg::Access::Read, other),
            ERROR_SUCCESS);
  std::vector<uint8_t> data;
  ASSERT_EQ(other.QueryValue("install path", nullptr, &data), ERROR_SUCCESS);
  EXPECT_EQ(data, Bytes({2}));
  reg::Value v;
  ASSERT_EQ(other.EnumValue(0, v), ERROR_SUCCESS);
  EXPECT_EQ(v.name, "Install Path");
  EXPECT_EQ(other.EnumValue(1, v), ERROR_NO_MORE_ITEMS);

  bool created = true;
  reg::Key again;
  ASSERT_EQ(reg::Key::Create(reg::HKEY_LOCAL_MACHINE, "software\\TARNWICK \xC3\xA4rger",
                             reg::Access::Write, again, &created),
            ERROR_SUCCESS);
  EXPECT_FALSE(created);
  reg::Key software;
  ASSERT_EQ(reg::Key::Open(reg::HKEY_LOCAL_MACHINE, "SOFTWARE", reg::Access::Read, software),
            ERROR_SUCCESS);
  std::string name;
  ASSERT_EQ(software.EnumKey(0, name), ERROR_SUCCESS);
  EXPECT_EQ(name, "Tarnwick \xC3\x84rger");
  EXPECT_EQ(software.EnumKey(1, name), ERROR_NO_MORE_ITEMS);
}

TEST_F(RegistryKeyTest, MissingThingsAndEnumerationOrder) {
  reg::Key key;
  EXPECT_EQ(reg::Key::Open(reg::HKEY_LOCAL_MACHINE, "No\\Such", reg::Access::Read, key),
            ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(key.IsOpen());

  reg::Key parent = Create(reg::HKEY_LOCAL_MACHINE, "Order");
  for (const char* name : {"beta", "Alpha", "gamma", "ALPHA2"}) {
    reg::Key child;
    ASSERT_EQ(parent.CreateSubKey(name, reg::Access::Write, child), ERROR_SUCCESS);
  }
  EXPECT_EQ(parent.QueryValue("missing", nullptr, nullptr), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(parent.DeleteValue("missing"), ERROR_FILE_NOT_FOUND);
  std::vector<std::string> names;
  std::string name;
  for (uint32_t i = 0; parent.EnumKey(i, name) == ERROR_SUCCESS; ++i) names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{"Alpha", "ALPHA2", "beta", "gamma"}));
}

TEST_F(RegistryKeyTest, DeleteKeyNeedsItEmptyOfSubkeysDeleteTreeTakesAll) {
  reg::Key top = Create(reg::HKEY_LOCAL_MACHINE, "Top\\Mid\\Leaf");
  ASSERT_EQ(top.SetValue("v", reg::REG_BINARY, Bytes({1})), ERROR_SUCCESS);
  reg::Key root;
  ASSERT_EQ(reg::Key::Open(reg::HKEY_LOCAL_MACHINE, "", reg::Access::Write, root), ERROR_SUCCESS);
  EXPECT_EQ(root.DeleteSubKey("Top\\Mid"), ERROR_ACCESS_DENIED);

  reg::Key mid;
  ASSERT_EQ(reg::Key::Open(reg::HKEY_LOCAL_MACHINE, "Top\\Mid", reg::Access::Write, mid), ERROR_SUCCESS);
  EXPECT_EQ(root.DeleteTree("TOP"), ERROR_SUCCESS);
  reg::Key gone;
  EXPECT_EQ(reg::Key::Open(reg::HKEY_LOCAL_MACHINE, "Top", reg::Access::Read, gone), ERROR_FILE_NOT_FOUND);
  // A handle to a key someone deleted says so instead of acting on nothing.
  EXPECT_EQ(mid.SetValue("x", reg::REG_BINARY, Bytes({1})), ERROR_KEY_DELETED);
  EXPECT_EQ(mid.QueryValue("x", nullptr, nullptr), ERROR_KEY_DELETED);
  std::string name;
  EXPECT_EQ(mid.EnumKey(0, name), ERROR_KEY_DELETED);
  EXPECT_EQ(root.DeleteTree("Top"), ERROR_FILE_NOT_FOUND);

  reg::Key keep = Create(reg::HKEY_LOCAL_MACHINE, "Keep\\Child");
  reg::Key keepTop;
  ASSERT_EQ(reg::Key::Open(reg::HKEY_LOCAL_MACHINE, "Keep", reg::Access::Write, keepTop), ERROR_SUCCESS);
  ASSERT_EQ(keepTop.SetValue("v", reg::REG_BINARY, Bytes({1})), ERROR_SUCCESS);
  EXPECT_EQ(keepTop.DeleteTree(""), ERROR_SUCCESS);  // empties the key, keeps it
  EXPECT_EQ(keepTop.EnumKey(0, name), ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(keepTop.QueryValue("v", nullptr, nullptr), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(keepTop.DeleteSubKey(""), ERROR_SUCCESS);
  EXPECT_EQ(reg::Key::Open(reg::HKEY_LOCAL_MACHINE, "Keep", reg::Access::Read, gone), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryKeyTest, ReadHandlesDoNotWrite) {
  Create(reg::HKEY_CURRENT_USER, "Software\\Ro");
  reg::Key key;
  ASSERT_EQ(reg::Key::Open(reg::HKEY_CURRENT_USER, "Software\\Ro", reg::Access::Read, key), ERROR_SUCCESS);
  EXPECT_EQ(key.SetValue("v", reg::REG_BINARY, Bytes({1})), ERROR_ACCESS_DENIED);
  EXPECT_EQ(key.DeleteSubKey("x"), ERROR_ACCESS_DENIED);
  reg::Key child;
  EXPECT_EQ(key.CreateSubKey("x", reg::Access::Write, child), ERROR_ACCESS_DENIED);
}

TEST_F(RegistryKeyTest, ClassesRootIsTheMachineClassesKey) {
  reg::Key progId = Create(reg::HKEY_CLASSES_ROOT, "Vq.Control\\CLSID");
  ASSERT_EQ(progId.SetValue("", reg::REG_BINARY, Bytes({7})), ERROR_SUCCESS);
  reg::Key viaMachine;
  ASSERT_EQ(reg::Key::Open(reg::HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes\\vq.control\\clsid",
                           reg::Access::Read, viaMachine),
            ERROR_SUCCESS);
  std::vector<uint8_t> data;
  EXPECT_EQ(viaMachine.QueryValue("", nullptr, &data), ERROR_SUCCESS);
  EXPECT_EQ(data, Bytes({7}));
}

TEST_F(RegistryKeyTest, HivesHaveTheirPlacesAndModes) {
  Create(reg::HKEY_LOCAL_MACHINE, "A");
  Create(reg::HKEY_CURRENT_USER, "B");
  struct stat machine{}, user{};
  ASSERT_EQ(::stat(platform::paths::HklmHive().c_str(), &machine), 0);
  ASSERT_EQ(::stat(platform::paths::HkcuHive().c_str(), &user), 0);
  EXPECT_EQ(machine.st_mode & 0777, 0644u);  // everyone reads the machine settings
  EXPECT_EQ(user.st_mode & 0777, 0600u);     // the user's own hive is private
  EXPECT_EQ(platform::paths::HklmHive(), root_.At("/etc/tarnwickgate/registry/HKLM.db"));
  EXPECT_EQ(platform::paths::HkcuHive(), root_.At("/home/.config/tarnwickgate/registry/HKCU.db"));
}

TEST_F(RegistryKeyTest, ThreadsWritingOneKeyAllPersist) {
  Create(reg::HKEY_LOCAL_MACHINE, "Shared");
  auto writer = [](const std::string& prefix) {
    for (int i = 0; i < 50; ++i) {
      reg::Key key;
      if (reg::Key::Open(reg::HKEY_LOCAL_MACHINE, "Shared", reg::Access::Write, key) != ERROR_SUCCESS) return;
      key.SetValue(prefix + std::to_string(i), reg::REG_DWORD, Bytes({static_cast<uint8_t>(i), 0, 0, 0}));
    }
  };
  std::thread a(writer, "a"), b(writer, "b");
  a.join();
  b.join();
  reg::Key key;
  ASSERT_EQ(reg::Key::Open(reg::HKEY_LOCAL_MACHINE, "Shared", reg::Access::Read, key), ERROR_SUCCESS);
  for (const char* prefix : {"a", "b"})
    for (int i = 0; i < 50; ++i)
      EXPECT_EQ(key.QueryValue(prefix + std::to_string(i), nullptr, nullptr), ERROR_SUCCESS) << prefix << i;
}

// The machine hive must not let an ordinary user redirect what the system
// reads from it (install folder, update source, pinned certificate).
TEST_F(RegistryKeyTest, OtherUsersReadTheMachineHiveButCannotWriteIt) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  reg::Key key = Create(reg::HKEY_LOCAL_MACHINE, "SOFTWARE\\Vendor");
  ASSERT_EQ(key.SetValue("Url", reg::REG_BINARY, Bytes({1})), ERROR_SUCCESS);
  ASSERT_EQ(::chmod(root_.path().c_str(), 0755), 0);

  const int result = vqtest::RunAsUser(vqtest::kNobodyUid, vqtest::kNobodyGid, [] {
    if (reg::IsMachineAdministrator()) return 1;
    reg::Key k;
    if (reg::Key::Open(reg::HKEY_LOCAL_MACHINE, "SOFTWARE\\Vendor", reg::Access::Read, k) != ERROR_SUCCESS)
      return 2;
    std::vector<uint8_t> data;
    if (k.QueryValue("Url", nullptr, &data) != ERROR_SUCCESS || data != Bytes({1})) return 3;
    if (k.SetValue("Url", reg::REG_BINARY, Bytes({2})) != ERROR_ACCESS_DENIED) return 4;
    reg::Key w;
    if (reg::Key::Open(reg::HKEY_LOCAL_MACHINE, "SOFTWARE\\Vendor", reg::Access::Write, w) !=
        ERROR_ACCESS_DENIED)
      return 5;
    if (reg::Key::Create(reg::HKEY_LOCAL_MACHINE, "SOFTWARE\\Vendor\\New", reg::Access::Write, w) !=
        ERROR_ACCESS_DENIED)
      return 6;
    if (reg::Key::Create(reg::HKEY_CLASSES_ROOT, "Evil", reg::Access::Write, w) != ERROR_ACCESS_DENIED)
      return 7;
    return 0;
  });
  EXPECT_EQ(result, 0);
  std::vector<uint8_t> data;
  EXPECT_EQ(key.QueryValue("Url", nullptr, &data), ERROR_SUCCESS);
  EXPECT_EQ(data, Bytes({1}));
}

TEST_F(RegistryKeyTest, AMissingMachineHiveReadsAsEmptyAndIsNotCreatedByOtherUsers) {
  if (::geteuid() == 0) {
    ASSERT_EQ(::chmod(root_.path().c_str(), 0755), 0);
    const int result = vqtest::RunAsUser(vqtest::kNobodyUid, vqtest::kNobodyGid, [] {
      reg::Key k;
      if (reg::Key::Open(reg::HKEY_LOCAL_MACHINE, "", reg::Access::Read, k) != ERROR_SUCCESS) return 1;
      std::string name;
      if (k.EnumKey(0, name) != ERROR_NO_MORE_ITEMS) return 2;
      return reg::Key::Open(reg::HKEY_LOCAL_MACHINE, "SOFTWARE", reg::Access::Read, k) ==
                     ERROR_FILE_NOT_FOUND
                 ? 0
                 : 3;
    });
    EXPECT_EQ(result, 0);
    struct stat st{};
    EXPECT_NE(::stat(platform::paths::HklmHive().c_str(), &st), 0);
  }
  reg::Key key;
  EXPECT_EQ(reg::Key::Open(reg::HKEY_LOCAL_MACHINE, "SOFTWARE", reg::Access::Read, key), ERROR_FILE_NOT_FOUND);
}

TEST(RegistryPathTest, SplitDropsEmptyNames) {
  EXPECT_EQ(reg::SplitKeyPath("A\\B\\\\C\\"), (std::vector<std::string>{"A", "B", "C"}));
  EXPECT_TRUE(reg::SplitKeyPath("").empty());
  EXPECT_TRUE(reg::SplitKeyPath("\\").empty());
}

}  // namespace
