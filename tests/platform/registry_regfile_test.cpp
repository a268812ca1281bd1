#include <gtest/gtest.h>

#include <fmt/format.h>

#include <memory>
#include <string>
#include <vector>

#include "common/child_process.h"
#include "common/temp_root.h"
#include "platform/registry/registry.h"
#include "platform/win32/win32_error.h"
#include "support/registry_value.h"
#include "support/text_convert.h"
#include "support/utf16.h"
#include "tools/vqregedit/reg_file.h"

namespace reg = platform::registry;
using platform::ERROR_SUCCESS;

namespace {

// A 5.00 file image of UTF-8 text (CR LF lines, UTF-16LE, byte-order mark).
std::string Regedit5(const std::string& body) {
  std::string text = "Windows Registry Editor Version 5.00\r\n\r\n";
  for (char c : body) {
    if (c == '\n') text += '\r';
    text += c;
  }
  return "\xFF\xFE" + Utf16LeBytes(Utf8ToWide(text));
}

std::vector<reg::Value> ValuesOf(reg::RootKey root, const std::string& path) {
  reg::Key key;
  EXPECT_EQ(reg::Key::Open(root, path, reg::Access::Read, key), ERROR_SUCCESS) << path;
  std::vector<reg::Value> values;
  reg::Value v;
  for (uint32_t i = 0; key.EnumValue(i, v) == ERROR_SUCCESS; ++i) values.push_back(v);
  return values;
}

bool KeyExists(reg::RootKey root, const std::string& path) {
  reg::Key key;
  return reg::Key::Open(root, path, reg::Access::Read, key) == ERROR_SUCCESS;
}

std::vector<uint8_t> B(std::initializer_list<uint8_t> b) { return b; }

class RegFileTest : public ::testing::Test {
 protected:
  vqtest::TempRoot root_;
};

TEST_F(RegFileTest, ImportsEveryValueForm) {
  const std::string body =
      "; install keys\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Product]\n"
      "\"QIMBO_HOME\"=\"C:\\\\Program Files\\\\\\\"Q\\\"\"\n"
      "@=\"default \xE4\xB8\xAD\"\n"
      "\"Count\"=dword:0000002A\n"
      "\"Blob\"=hex:00,ff,10\n"
      "\"List\"=hex(7):41,00,00,00,42,00,00,00,00,00\n"
      "\"Wrapped\"=hex(3):01,02,\\\n"
      "  03,04\n"
      "\"None\"=hex(0):\n"
      "\n"
      "[HKCU\\Software\\Vendor]\n"
      "\"User\"=\"u\"\n";
  std::string message;
  ASSERT_EQ(regfile::ImportText(Regedit5(body), &message), ERROR_SUCCESS) << message;

  const std::vector<reg::Value> values = ValuesOf(reg::HKEY_LOCAL_MACHINE, "SOFTWARE\\Vendor\\Product");
  ASSERT_EQ(values.size(), 7u);
  EXPECT_EQ(values[0].name, "QIMBO_HOME");
  EXPECT_EQ(values[0].type, reg::REG_SZ);
  EXPECT_EQ(values[0].data, RegSzBytes("C:\\Program Files\\\"Q\"", true));
  EXPECT_EQ(values[1].name, "");
  EXPECT_EQ(RegSzText(values[1].data), "default \xE4\xB8\xAD");
  EXPECT_EQ(values[2].type, reg::REG_DWORD);
  EXPECT_EQ(values[2].data, B({0x2A, 0, 0, 0}));
  EXPECT_EQ(values[3].type, reg::REG_BINARY);
  EXPECT_EQ(values[3].data, B({0, 0xFF, 0x10}));
  EXPECT_EQ(values[4].type, reg::REG_MULTI_SZ);
  EXPECT_EQ(RegMultiSzStrings(values[4].data), (std::vector<std::string>{"A", "B"}));
  EXPECT_EQ(values[5].data, B({1, 2, 3, 4}));
  EXPECT_EQ(values[6].type, reg::REG_NONE);
  EXPECT_TRUE(values[6].data.empty());
  EXPECT_EQ(ValuesOf(reg::HKEY_CURRENT_USER, "Software\\Vendor").size(), 1u);
}

TEST_F(RegFileTest, DeletesKeysAndValues) {
  ASSERT_EQ(regfile::ImportText(Regedit5("[HKEY_LOCAL_MACHINE\\A\\B\\C]\n\"v\"=\"1\"\n"
                                         "[HKEY_LOCAL_MACHINE\\A]\n\"x\"=\"1\"\n\"y\"=\"2\"\n"),
                                nullptr),
            ERROR_SUCCESS);
  std::string message;
  ASSERT_EQ(regfile::ImportText(Regedit5("[-HKEY_LOCAL_MACHINE\\A\\B]\n"
                                         "[-HKEY_LOCAL_MACHINE\\Never\\There]\n"
                                         "[HKEY_LOCAL_MACHINE\\A]\n\"x\"=-\n\"missing\"=-\n"),
                                &message),
            ERROR_SUCCESS)
      << message;
  EXPECT_FALSE(KeyExists(reg::HKEY_LOCAL_MACHINE, "A\\B"));
  const std::vector<reg::Value> values = ValuesOf(reg::HKEY_LOCAL_MACHINE, "A");
  ASSERT_EQ(values.size(), 1u);
  EXPECT_EQ(values[0].name, "y");
}

TEST_F(RegFileTest, MalformedFilesChangeNothing) {
  const char* bodies[] = {
      "\"v\"=\"value before any key\"\n",
      "[HKEY_LOCAL_MACHINE\\Made]\n\"v\"=hex:1,zz\n",
      "[HKEY_LOCAL_MACHINE\\Made]\n\"v\"=\"no end\n",
      "[HKEY_LOCAL_MACHINE\\Made]\n\"v\"=dword:123456789\n",
      "[HKEY_LOCAL_MACHINE\\Made]\nv=\"unquoted name\"\n",
      "[HKEY_LOCAL_MACHINE\\Made]\n\"v\"=hex:01,\\",  // the file ends inside the data
      "[HKEY_LOCAL_MACHINE\\Made]\n[HKEY_USERS\\Other]\n",
      "[HKEY_LOCAL_MACHINE\\Made\n",
      "[-HKEY_LOCAL_MACHINE]\n",
      "[HKEY_LOCAL_MACHINE\\Made]\n[-HKEY_LOCAL_MACHINE\\Made]\n\"v\"=\"after a delete\"\n",
  };
  for (const char* body : bodies) {
    std::string message;
    EXPECT_EQ(regfile::ImportText(Regedit5(body), &message), platform::ERROR_INVALID_DATA) << body;
    EXPECT_NE(message.find("line "), std::string::npos) << message;
    EXPECT_FALSE(KeyExists(reg::HKEY_LOCAL_MACHINE, "Made")) << body;
  }
  EXPECT_EQ(regfile::ImportText("not a registry file\r\n", nullptr), platform::ERROR_INVALID_DATA);
}

// Every kind of value, written through the registry layer, survives an
// export and an import into an emptied tree byte for byte.
class RegFileRoundTripTest : public RegFileTest, public ::testing::WithParamInterface<regfile::Format> {};

TEST_P(RegFileRoundTripTest, ExportThenImportGivesTheSameTree) {
  std::vector<uint8_t> longBlob(300);
  for (size_t i = 0; i < longBlob.size(); ++i) longBlob[i] = static_cast<uint8_t>(i * 7);
  const std::vector<reg::Value> values = {
      {"Text", reg::REG_SZ, RegSzBytes("C:\\Tarnwick \"Gate\" \xC3\xA9", true)},
      {"", reg::REG_SZ, RegSzBytes("default", true)},
      {"Name \"quoted\" \\ back", reg::REG_DWORD, RegDwordBytes(0xDEADBEEF)},
      {"Expand", reg::REG_EXPAND_SZ, RegSzBytes("%HOME%\\x", true)},
      {"Multi", reg::REG_MULTI_SZ, RegMultiSzBytes({"one", "two \xC3\xA9"})},
      {"Lines", reg::REG_SZ, RegSzBytes("two\r\nlines", true)},
      {"Blob", reg::REG_BINARY, longBlob},
      {"Short dword", reg::REG_DWORD, B({1, 2})},
      {"Q", reg::REG_QWORD, B({1, 2, 3, 4, 5, 6, 7, 8})},
      {"Nothing", reg::REG_NONE, {}},
  };
  {
    reg::Key key, sub;
    ASSERT_EQ(reg::Key::Create(reg::HKEY_LOCAL_MACHINE, "SOFTWARE\\Round", reg::Access::Write, key), ERROR_SUCCESS);
    for (const reg::Value& v : values) ASSERT_EQ(key.SetValue(v.name, v.type, v.data), ERROR_SUCCESS);
    ASSERT_EQ(key.CreateSubKey("Sub\\Deeper \xC3\xA9", reg::Access::Write, sub), ERROR_SUCCESS);
    ASSERT_EQ(sub.SetValue("d", reg::REG_DWORD, RegDwordBytes(5)), ERROR_SUCCESS);
  }
  std::string file;
  ASSERT_EQ(regfile::ExportText(reg::HKEY_LOCAL_MACHINE, "SOFTWARE\\Round", GetParam(), file), ERROR_SUCCESS);
  reg::Key root;
  ASSERT_EQ(reg::Key::Open(reg::HKEY_LOCAL_MACHINE, "", reg::Access::Write, root), ERROR_SUCCESS);
  ASSERT_EQ(root.DeleteTree("SOFTWARE\\Round"), ERROR_SUCCESS);

  std::string message;
  ASSERT_EQ(regfile::ImportText(file, &message), ERROR_SUCCESS) << message;
  const std::vector<reg::Value> back = ValuesOf(reg::HKEY_LOCAL_MACHINE, "SOFTWARE\\Round");
  ASSERT_EQ(back.size(), values.size());
  for (size_t i = 0; i < values.size(); ++i) {
    EXPECT_EQ(back[i].name, values[i].name);
    EXPECT_EQ(back[i].type, values[i].type) << values[i].name;
    EXPECT_EQ(back[i].data, values[i].data) << values[i].name;
  }
  const std::vector<reg::Value> deep = ValuesOf(reg::HKEY_LOCAL_MACHINE, "SOFTWARE\\Round\\Sub\\Deeper \xC3\xA9");
  ASSERT_EQ(deep.size(), 1u);
  EXPECT_EQ(deep[0].data, RegDwordBytes(5));
}

INSTANTIATE_TEST_SUITE_P(Formats, RegFileRoundTripTest,
                         ::testing::Values(regfile::Format::Regedit5, regfile::Format::Regedit4));

TEST_F(RegFileTest, ExportLooksLikeTheEditorsText) {
  reg::Key key;
  ASSERT_EQ(reg::Key::Create(reg::HKEY_CURRENT_USER, "Software\\Look", reg::Access::Write, key), ERROR_SUCCESS);
  ASSERT_EQ(key.SetValue("s", reg::REG_SZ, RegSzBytes("v", false)), ERROR_SUCCESS);
  ASSERT_EQ(key.SetValue("d", reg::REG_DWORD, RegDwordBytes(16)), ERROR_SUCCESS);
  std::string file;
  ASSERT_EQ(regfile::ExportText(reg::HKEY_CURRENT_USER, "Software\\Look", regfile::Format::Regedit4, file),
            ERROR_SUCCESS);
  EXPECT_EQ(file,
            "REGEDIT4\r\n\r\n"
            "[HKEY_CURRENT_USER\\Software\\Look]\r\n"
            "\"s\"=\"v\"\r\n"
            "\"d\"=dword:00000010\r\n\r\n");
}

TEST_F(RegFileTest, Regedit4IsInTheAnsiCodePage) {
  const std::string previous = CodePageName(CodePage::Ansi);
  ASSERT_TRUE(SetCodePage(CodePage::Ansi, "CP1252"));
  const std::string file =
      "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Caf\xE9]\r\n\"N\xE9\"=\"\x80\"\r\n"
      "\"E\"=hex(2):e9,00\r\n";
  std::string message;
  const uint32_t err = regfile::ImportText(file, &message);
  std::string exported;
  const uint32_t exportErr =
      regfile::ExportText(reg::HKEY_LOCAL_MACHINE, "Caf\xC3\xA9", regfile::Format::Regedit4, exported);
  SetCodePage(CodePage::Ansi, previous);
  ASSERT_EQ(err, ERROR_SUCCESS) << message;
  const std::vector<reg::Value> values = ValuesOf(reg::HKEY_LOCAL_MACHINE, "Caf\xC3\xA9");
  ASSERT_EQ(values.size(), 2u);
  EXPECT_EQ(values[0].name, "N\xC3\xA9");
  EXPECT_EQ(RegSzText(values[0].data), "\xE2\x82\xAC");
  EXPECT_EQ(values[1].data, RegSzBytes("\xC3\xA9", true));
  ASSERT_EQ(exportErr, ERROR_SUCCESS);
  EXPECT_EQ(exported, file + "\r\n");
}

#ifdef VQREGEDIT_PATH
TEST_F(RegFileTest, TheToolImportsAndExports) {
  vqtest::WriteFileBytes(root_.At("/in.reg"),
                         Regedit5("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tool]\n\"v\"=dword:00000007\n"));
  // The restore step names the key after the file; an import takes the file whole.
  EXPECT_EQ(vqtest::RunProgram({VQREGEDIT_PATH, "/S", root_.At("/in.reg"), "HKEY_LOCAL_MACHINE\\X"}), 0);
  EXPECT_EQ(vqtest::RunProgram({VQREGEDIT_PATH, "/e", root_.At("/out.reg"),
                                "HKEY_LOCAL_MACHINE\\SOFTWARE\\Tool"}),
            0);
  EXPECT_EQ(vqtest::ReadFileBytes(root_.At("/out.reg")),
            Regedit5("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tool]\n\"v\"=dword:00000007\n\n"));
  EXPECT_EQ(vqtest::RunProgram({VQREGEDIT_PATH, "/s", root_.At("/missing.reg")}), 1);
  EXPECT_EQ(vqtest::RunProgram({VQREGEDIT_PATH, "/e", root_.At("/x.reg"), "HKEY_LOCAL_MACHINE\\No"}), 1);
  EXPECT_EQ(vqtest::RunProgram({VQREGEDIT_PATH}), 2);
}

TEST_F(RegFileTest, TwoProcessesWritingOneKeyBothPersist) {
  constexpr int kValues = 150;
  for (const char* who : {"a", "b"}) {
    std::string body = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Shared]\n";
    for (int i = 0; i < kValues; ++i) body += fmt::format("\"{}{}\"=dword:{:08x}\n", who, i, i);
    vqtest::WriteFileBytes(root_.At(std::string("/") + who + ".reg"), Regedit5(body));
  }
  vqtest::ChildProcess a({VQREGEDIT_PATH, "/s", root_.At("/a.reg")});
  vqtest::ChildProcess b({VQREGEDIT_PATH, "/s", root_.At("/b.reg")});
  EXPECT_EQ(a.Wait(120000), 0);
  EXPECT_EQ(b.Wait(120000), 0);
  const std::vector<reg::Value> values = ValuesOf(reg::HKEY_LOCAL_MACHINE, "SOFTWARE\\Shared");
  EXPECT_EQ(values.size(), 2u * kValues);
  reg::Key key;
  ASSERT_EQ(reg::Key::Open(reg::HKEY_LOCAL_MACHINE, "SOFTWARE\\Shared", reg::Access::Read, key), ERROR_SUCCESS);
  for (const char* who : {"a", "b"}) {
    for (int i = 0; i < kValues; ++i) {
      std::vector<uint8_t> data;
      ASSERT_EQ(key.QueryValue(who + std::to_string(i), nullptr, &data), ERROR_SUCCESS) << who << i;
      EXPECT_EQ(RegDwordValue(data), static_cast<uint32_t>(i));
    }
  }
}
#endif

}  // namespace
