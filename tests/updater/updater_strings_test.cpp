// The texts the progress dialog shows: in both tables, with the same
// conversions in each, and compiled in for when no table can be read.
#include "updater/updater_strings.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "platform/ui/control_spec.h"
#include "platform/ui/win32_ui.h"
#include "updater/progress_dialog.h"

namespace thimbleset {
namespace {

using platform::ui::StringEntryId;

std::string Conversions(const std::string& text) {
  static const std::regex conversion("%[a-z]");
  std::string out;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), conversion); it != std::sregex_iterator(); ++it)
    out += it->str();
  return out;
}

TEST(UpdaterStringsTest, EveryTextOfTheDialogIsInBothTablesWithItsConversions) {
  std::vector<uint32_t> ids = {StringEntryId(IDD_PROGRESS, 0), StringEntryId(IDD_PROGRESS, platform::ui::IDOK),
                               StringEntryId(IDD_PROGRESS, platform::ui::IDCANCEL),
                               IDS_UPDATING_FILE, IDS_DOWNLOAD_DONE, IDS_DOWNLOAD_FAILED, IDS_RENAME_FAILED,
                               IDS_UPDATE_DONE, IDS_SURE_TO_EXIT};
  // The id-less controls: the group box and its two labels.
  for (const platform::ui::ControlSpec& c : ProgressDialogTemplate().controls)
    if (c.id >= platform::ui::kFirstLabelId) ids.push_back(StringEntryId(IDD_PROGRESS, c.id));
  ASSERT_EQ(ids.size(), 12u);

  const LanguageStrings builtIn = LoadUpdaterStrings(1033);
  const std::string folder = std::string(VQ_TEST_DATA_DIR) + "/../../Code/client/lang/";
  const std::optional<LanguageStrings> english = ReadLanguageFile(folder + "1033/strings.txt", 1033);
  const std::optional<LanguageStrings> chinese = ReadLanguageFile(folder + "2052/strings.txt", 2052);
  ASSERT_TRUE(english && chinese);
  for (uint32_t id : ids) {
    SCOPED_TRACE(id);
    const std::string* en = english->Find(id);
    const std::string* zh = chinese->Find(id);
    ASSERT_TRUE(en && zh && builtIn.Find(id));
    EXPECT_EQ(*builtIn.Find(id), *en);
    EXPECT_EQ(Conversions(*zh), Conversions(*en));
  }
  EXPECT_EQ(*english->Find(IDS_DOWNLOAD_FAILED), "Download file [%s] failed (%u)");
}

}  // namespace
}  // namespace thimbleset
