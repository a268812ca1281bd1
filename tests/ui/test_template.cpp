#include "ui/test_template.h"

#include <algorithm>
#include <memory>
#include <sstream>

#include "platform/ui/win32_ui.h"
#include "support/language_strings.h"

namespace vqtest {

using namespace platform::ui;

int Recorder::Count(const std::string& call) const {
  return static_cast<int>(std::count(calls.begin(), calls.end(), call));
}

const DialogTemplate& TestTemplate() {
  static const DialogTemplate templ(
      kTestTemplate,
      {
          {.kind = ControlKind::Label, .row = 0, .col = 0},
          {.id = kServerEdit, .kind = ControlKind::Edit, .row = 0, .col = 1, .colSpan = 2},
          {.kind = ControlKind::Label, .row = 1, .col = 0},
          {.id = kPasswordEdit, .kind = ControlKind::Edit, .row = 1, .col = 1, .colSpan = 2, .style = kPassword},
          {.kind = ControlKind::Label, .row = 2, .col = 0},
          {.id = kPortEdit, .kind = ControlKind::Edit, .row = 2, .col = 1, .style = kNumber},
          {.id = kRememberCheck, .kind = ControlKind::CheckBox, .row = 2, .col = 2},
          {.id = kModeGroup, .kind = ControlKind::GroupBox, .row = 3, .col = 0, .rowSpan = 2, .colSpan = 3},
          {.id = kModePassword, .kind = ControlKind::Radio, .row = 4, .col = 0, .style = kGroupStart},
          {.id = kModeKey, .kind = ControlKind::Radio, .row = 4, .col = 1},
          {.id = kModeKeyOnly, .kind = ControlKind::Radio, .row = 4, .col = 2},
          {.kind = ControlKind::Label, .row = 5, .col = 0},
          {.id = kAliasCombo, .kind = ControlKind::Combo, .row = 5, .col = 1, .style = kEditableCombo},
          {.id = kLoginModeCombo, .kind = ControlKind::Combo, .row = 5, .col = 2},
          {.id = kCertList, .kind = ControlKind::ListBox, .row = 6, .col = 0},
          {.id = kRouteList, .kind = ControlKind::ListView, .row = 6, .col = 1,
           .columns = {{1124, 110}, {1125, 110}, {1128, 50}}},
          {.id = kOptionTree, .kind = ControlKind::TreeView, .row = 6, .col = 2},
          {.id = kPages, .kind = ControlKind::TabStrip, .row = 7, .col = 0, .colSpan = 2},
          {.id = kPageFrame, .kind = ControlKind::Frame, .row = 7, .col = 2},
          {.id = kBitmap, .kind = ControlKind::Picture, .row = 8, .col = 0, .pictureId = 150},
          {.id = kProgress, .kind = ControlKind::ProgressBar, .row = 8, .col = 1, .colSpan = 2},
          {.id = kLogEdit, .kind = ControlKind::Edit, .row = 9, .col = 0, .colSpan = 3,
           .style = kMultiLine | kReadOnly},
          {.id = kOkButton, .kind = ControlKind::Button, .row = 10, .col = 0, .style = kDefaultButton},
          {.id = kCancelButton, .kind = ControlKind::Button, .row = 10, .col = 1},
          {.id = kReapplyButton, .kind = ControlKind::Button, .row = 10, .col = 2},
      });
  return templ;
}

const DialogTemplate& TestPageTemplate() {
  static const DialogTemplate templ(kTestPage,
                                    {
                                        {.kind = ControlKind::Label, .row = 0, .col = 0},
                                        {.id = kPageEdit, .kind = ControlKind::Edit, .row = 0, .col = 1},
                                    },
                                    false, true);
  return templ;
}

const DialogTemplate& OwnedTemplate() {
  static const DialogTemplate templ(kOwnedTemplate, {
                                                        {.kind = ControlKind::Label, .row = 0, .col = 0},
                                                        {.id = IDOK, .kind = ControlKind::Button, .row = 1, .col = 0},
                                                    });
  return templ;
}

namespace {

void Note(Recorder& r, const std::string& call) { r.calls.push_back(call); }

}  // namespace

void TestLogic::OnInit(Dialog& d) {
  Note(*recorder_, "init");
  d.SetLimit(kPasswordEdit, 8);
  d.SetLimit(kServerEdit, 20);
  d.Check(kModePassword, true);
  for (int s : {353, 354, 360}) d.AddItem(kLoginModeCombo, d.host().LoadString(s), s);
  d.SetSelection(kLoginModeCombo, 0);
  d.AddItem(kAliasCombo, "office");
  d.AddItem(kAliasCombo, "home");
  for (const char* cert : {"alice", "bob", "carol"}) d.AddItem(kCertList, cert);
  d.AddRow(kRouteList, {"10.1.0.0", "255.255.0.0", "1"});
  d.AddRow(kRouteList, {"10.2.0.0", "255.255.255.0", "5"});
  const TreeHandle root = d.InsertTreeItem(kOptionTree, kTreeRoot, d.host().LoadString(350));
  d.InsertTreeItem(kOptionTree, root, d.host().LoadString(351));
  d.InsertTreeItem(kOptionTree, root, d.host().LoadString(352));
  d.ExpandTreeItem(kOptionTree, root, true);
  for (int s : {1121, 1122}) d.AddItem(kPages, d.host().LoadString(s));
  d.SetSelection(kPages, 0);
  if (Dialog* page = d.OpenPage(TestPageTemplate(), std::make_unique<DialogLogic>(), kPages)) page->ShowWindow(true);
  d.SetProgressRange(kProgress, 0, 100);
  d.SetProgress(kProgress, 40);
  d.SetText(kLogEdit, "12:00:01 Updating file [a.dll] ...\n12:00:02 Update done.");
  d.SetFocus(kServerEdit, true);
  d.SetTimer(20, 1000);
}

void TestLogic::OnCommand(Dialog& d, int id, int code) {
  std::ostringstream call;
  call << "command " << id << " " << code;
  if (code == EN_CHANGE || code == CBN_EDITCHANGE) call << " text=" << d.Text(id);
  if (code == BN_CLICKED && d.State(id) && d.State(id)->entry->kind != ControlKind::Button) call << " checked=" << d.IsChecked(id);
  if (code == CBN_SELCHANGE || code == LBN_SELCHANGE) call << " selection=" << d.Selection(id);
  Note(*recorder_, call.str());
  if (id == kReapplyButton && code == BN_CLICKED) {
    d.Enable(kReapplyButton, false);
    auto recorder = recorder_;
    d.host().MessageBox(&d, d.host().String(kReapplyQuestion), d.Caption(), MB_YESNO | MB_ICONQUESTION,
                        [&d, recorder](int answer) {
                          Note(*recorder, "answer " + std::to_string(answer));
                          d.Enable(kReapplyButton, true);
                          if (answer == IDYES) d.SetProgress(kProgress, 100);
                        });
  } else if (id == IDOK && code == BN_CLICKED) {
    d.EndDialog(IDOK);
  } else if (id == IDCANCEL) {
    d.EndDialog(IDCANCEL);
  }
}

void TestLogic::OnNotify(Dialog& d, int id, int code, uint64_t data) {
  Note(*recorder_, "notify " + std::to_string(id) + " " + std::to_string(code) + " " + std::to_string(data));
  if (id == kPages && code == TCN_SELCHANGE) d.SetText(kLogEdit, "tab " + std::to_string(data));
}

void TestLogic::OnTimer(Dialog& d, uint32_t id) {
  Note(*recorder_, "timer " + std::to_string(id));
  d.SetProgress(kProgress, d.Progress(kProgress) + 1);
}

intptr_t TestLogic::OnMessage(Dialog&, uint32_t message, uintptr_t wParam, intptr_t) {
  Note(*recorder_, "message " + std::to_string(message) + " " + std::to_string(wParam));
  return 7;
}

std::string Snapshot(const Dialog& d) {
  std::ostringstream out;
  out << "caption=" << d.Caption() << " shown=" << d.IsShown() << " focus=" << d.Focus() << "\n";
  for (const ControlSpec& entry : d.templ().controls) {
    const ControlState& s = *d.State(entry.id);
    out << entry.id << " text=" << s.text << " enabled=" << s.enabled << " visible=" << s.visible
        << " checked=" << s.checked << " selection=" << s.selection << " items=";
    for (const ListItem& i : s.items) out << i.text << "/" << i.data << ";";
    out << " rows=";
    for (const ListRow& r : s.rows)
      for (const std::string& c : r.cells) out << c << ";";
    out << " tree=";
    for (const TreeItem& t : s.tree) out << t.handle << ":" << t.parent << ":" << t.text << ";";
    out << " treeSel=" << s.treeSelection << " progress=" << s.progress << "\n";
  }
  return out.str();
}

StringSource TestStrings(uint16_t language) {
  auto table = LoadLanguageStrings(std::string(VQ_TEST_DATA_DIR) + "/ui", language);
  if (!table) return {};
  auto shared = std::make_shared<LanguageStrings>(std::move(*table));
  return [shared](uint32_t id) { return shared->Find(id); };
}

}  // namespace vqtest
