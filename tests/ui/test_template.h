// A dialog with a control of every kind and a page in its tab strip, with
// logic that writes down every call it gets and the model it sees then.
// Driven the same way through the headless and the Qt host.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/ui/dialog.h"

namespace vqtest {

inline constexpr int kTestTemplate = 900;
inline constexpr int kTestPage = 901;
inline constexpr int kOwnedTemplate = 902;
inline constexpr uint32_t kReapplyQuestion = 9001;  // string entry of the box

// Control ids of the test template.
enum TestControl {
  kServerEdit = 1003,
  kPasswordEdit = 1002,
  kPortEdit = 1004,
  kRememberCheck = 1066,
  kModeGroup = 1090,
  kModePassword = 1058,
  kModeKey = 1059,
  kModeKeyOnly = 1060,
  kAliasCombo = 1053,
  kLoginModeCombo = 1076,
  kCertList = 1008,
  kRouteList = 1019,
  kOptionTree = 1063,
  kPages = 1026,
  kPageFrame = 1065,
  kBitmap = 1071,
  kProgress = 1000,
  kLogEdit = 1030,
  kOkButton = 1,
  kCancelButton = 2,
  kReapplyButton = 1067,
  kPageEdit = 1101,
};

const platform::ui::DialogTemplate& TestTemplate();
const platform::ui::DialogTemplate& TestPageTemplate();
const platform::ui::DialogTemplate& OwnedTemplate();

struct Recorder {
  std::vector<std::string> calls;
  int Count(const std::string& call) const;
};

// Fills every control in OnInit, opens the page, asks kReapplyQuestion on
// Reapply, ends with IDOK on OK and with IDCANCEL on IDCANCEL.
class TestLogic : public platform::ui::DialogLogic {
 public:
  explicit TestLogic(std::shared_ptr<Recorder> recorder) : recorder_(std::move(recorder)) {}
  void OnInit(platform::ui::Dialog& d) override;
  void OnCommand(platform::ui::Dialog& d, int id, int code) override;
  void OnNotify(platform::ui::Dialog& d, int id, int code, uint64_t data) override;
  void OnTimer(platform::ui::Dialog& d, uint32_t id) override;
  intptr_t OnMessage(platform::ui::Dialog& d, uint32_t message, uintptr_t wParam, intptr_t lParam) override;

 private:
  std::shared_ptr<Recorder> recorder_;
};

// Every control's state and the dialog's, one line each.
std::string Snapshot(const platform::ui::Dialog& d);

// The test string tables (tests/data/ui/lang/<language>).
platform::ui::StringSource TestStrings(uint16_t language);

}  // namespace vqtest
