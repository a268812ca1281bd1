// The two string tables: the same ids in both, every id the code names, the
// tunnel service's texts as given, and which table a start takes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>

#include "client/app/client_constants.h"
#include "client/app/client_strings.h"
#include "client/app/connect_launcher.h"
#include "client/app/report_dispatcher.h"
#include "client/ui/cert_choice.h"
#include "client/ui/select_certificate_dialog.h"
#include "client_fixture.h"
#include "common/log_reader.h"
#include "support/event_codes.h"
#include "support/ui_language.h"
#include "platform/ui/win32_ui.h"

namespace {

using namespace vqtest;

LanguageStrings Table(uint16_t language) {
  auto table = ReadLanguageFile(std::string(VQ_CLIENT_SOURCE_DIR) + "/lang/" + std::to_string(language) +
                                    "/strings.txt",
                                language);
  if (!table) throw std::runtime_error("table " + std::to_string(language) + " does not load");
  return std::move(*table);
}

// Every entry the client's code asks for by number.
std::set<uint32_t> NamedIds() {
  std::set<uint32_t> ids{client::IDS_CONNECTED,  client::IDS_DISCONNECTED,  client::IDS_CONNECTING,
                         client::IDS_UNKNOWN,    client::IDS_DISCONNECTING, client::IDS_RECONNECTING};
  for (const auto& d : client::kDialogCommands) ids.insert(d.titleString);
  for (int command : {client::ID_NETWORK_INFORMATION, client::ID_LOG, client::ID_ABOUT, client::ID_CONNECT,
                      client::ID_DISCONNECT, client::ID_EXIT, client::ID_DEBUG, client::ID_OPTION,
                      client::ID_CHANGE_PASSWORD})
    ids.insert(client::MenuText(command));
  for (const EventCodeEntry& e : EventCodeTable())
    if (e.text != nullptr) ids.insert(static_cast<uint32_t>(e.code));
  // Select Certificate: caption, controls, its label and its error box.
  for (int control : {0, platform::ui::IDOK, platform::ui::IDCANCEL, IDC_CERT_UPDATE, IDC_USE_DEFAULT_CERT,
                      platform::ui::kFirstLabelId})
    ids.insert(platform::ui::StringEntryId(IDD_SELECT_CERTIFICATE, control));
  ids.insert(IDS_CERT_SETTINGS_NOT_SAVED);
  // The connect's refusal and the host-check balloon.
  for (uint32_t id : {client::IDS_INVALID_PARAMETERS, client::IDS_HOST_CHECK_BALLOON_TITLE,
                      client::IDS_HOST_CHECK_BALLOON_TEXT})
    ids.insert(id);
  return ids;
}

std::set<uint32_t> Ids(const LanguageStrings& table, const std::set<uint32_t>& probe) {
  std::set<uint32_t> found;
  for (uint32_t id : probe)
    if (table.Find(id)) found.insert(id);
  return found;
}

TEST(ClientStrings, BothTablesHoldTheSameIds) {
  const LanguageStrings en = Table(1033);
  const LanguageStrings zh = Table(2052);
  EXPECT_EQ(en.size(), zh.size());
  // Walk the English ids through the file itself.
  std::set<uint32_t> all;
  for (uint32_t id = 0; id < 5000; ++id)
    if (en.Find(id) || zh.Find(id)) all.insert(id);
  for (uint32_t command = 40000; command < 40100; ++command) all.insert(client::MenuText(command));
  EXPECT_EQ(Ids(en, all), Ids(zh, all));
}

TEST(ClientStrings, EveryNamedIdIsInBothTables) {
  const std::set<uint32_t> named = NamedIds();
  EXPECT_EQ(Ids(Table(1033), named), named);
  EXPECT_EQ(Ids(Table(2052), named), named);
}

TEST(ClientStrings, ServiceTextsAreTheEventCodeTexts) {
  const LanguageStrings en = Table(1033);
  for (const EventCodeEntry& e : EventCodeTable()) {
    if (e.text == nullptr) continue;
    const std::string* text = en.Find(static_cast<uint32_t>(e.code));
    ASSERT_NE(text, nullptr) << e.code;
    EXPECT_EQ(*text, e.text) << e.code;
  }
}

TEST(ClientStrings, ChineseTableIsTranslated) {
  const LanguageStrings en = Table(1033);
  const LanguageStrings zh = Table(2052);
  // Names and abbreviations stay; everything else differs from English.
  const std::set<uint32_t> same{360, 1140, 1141, 1143};
  for (uint32_t id : NamedIds()) {
    if (same.count(id)) continue;
    EXPECT_NE(*en.Find(id), *zh.Find(id)) << id;
  }
}

TEST(ClientStrings, BuiltInTableIsTheEnglishFile) {
  const LanguageStrings builtIn = client::BuiltInStrings();
  const LanguageStrings en = Table(1033);
  EXPECT_EQ(builtIn.size(), en.size());
  EXPECT_EQ(*builtIn.Find(client::IDS_CONNECTED), "Connected");
}

struct LocaleScope {
  explicit LocaleScope(const char* lang) {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
      const char* old = std::getenv(name);
      saved.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
      ::unsetenv(name);
    }
    ::setenv("LANG", lang, 1);
  }
  ~LocaleScope() {
    for (const auto& [name, value] : saved) {
      if (value) ::setenv(name.c_str(), value->c_str(), 1);
      else ::unsetenv(name.c_str());
    }
  }
  std::vector<std::pair<std::string, std::optional<std::string>>> saved;
};

TEST(ClientStrings, ChineseLocaleLoadsTheChineseTable) {
  LocaleScope locale("zh_CN.UTF-8");
  client::ClientApp::Settings settings;
  settings.programDir = VQ_CLIENT_SOURCE_DIR;
  ClientRun run(settings);
  Argv argv({"Marrowlantern", "-d", "-q"});
  ASSERT_TRUE(run.app.Start(argv.argc(), argv.argv()));
  EXPECT_EQ(run.app.UiLanguage(), 2052);
  EXPECT_EQ(run.host.LoadString(client::IDS_CONNECTED), "已连接");
  EXPECT_EQ(run.host.TrayTip(), "Tarnwickgate Marrowlantern - 已断开");
}

TEST(ClientStrings, MissingLanguageFolderFallsBackToTheBuiltInTable) {
  LocaleScope locale("zh_CN.UTF-8");
  const std::filesystem::path empty = std::filesystem::temp_directory_path() / "vq-no-lang";
  std::filesystem::create_directories(empty);
  client::ClientApp::Settings settings;
  settings.programDir = empty.string();
  ClientRun run(settings);
  Argv argv({"Marrowlantern", "-d", "-q"});
  ASSERT_TRUE(run.app.Start(argv.argc(), argv.argv()));
  EXPECT_EQ(run.host.LoadString(client::IDS_CONNECTED), "Connected");
  EXPECT_NE(ReadLogText().find("Use default language"), std::string::npos);
  std::filesystem::remove_all(empty);
}

}  // namespace
