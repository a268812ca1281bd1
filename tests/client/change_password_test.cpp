// Change Password under the headless host on a fake clock: the client
// started with its window and report pipe, a scripted tunnel service on the
// command pipe (status 4, every change-password request recorded), the
// results sent through the report pipe with the tunnel service's own
// sender, and the saved-connection store of the test's root.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Brindleway/common/gui_reports.h"
#include "client/app/client_constants.h"
#include "client/store/process_store.h"
#include "client/ui/change_password_dialog.h"
#include "common/eventually.h"
#include "common/log_reader.h"
#include "platform/pipe/pipe.h"
#include "platform/ui/win32_ui.h"
#include "support/text_convert.h"
#include "support/wire.h"
#include "tray_fixture.h"

namespace {

using namespace vqtest;
using namespace client;
using namespace platform::ui;
using Bytes = std::vector<uint8_t>;

Bytes PasswordResult(uint32_t code) {
  Bytes m{VQ_PASSWORD_RESULT, 0, 0, 0, 0};
  wire::PutU32(&m[1], code);
  return m;
}

// A result as the tunnel service reports it.
void Report(uint32_t code) {
  Bytes reply;
  ASSERT_EQ(brindleway::TransactGuiPipe(PasswordResult(code), reply, brindleway::kGuiMessageSize,
                                        brindleway::kGuiReplyTimeoutMs),
            0u);
  EXPECT_EQ(reply, Bytes{VQ_PASSWORD_RESULT});
}

// The text of a narrow zero-terminated field of a record.
std::string Field(const Bytes& record, size_t offset, size_t size) {
  const char* begin = reinterpret_cast<const char*>(record.data() + offset);
  return std::string(begin, strnlen(begin, size));
}

class ChangePasswordTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host_.SetLogFile(uiLog_);
    ClientApp::Settings settings;
    settings.language = 1033;
    app_ = std::make_unique<ClientApp>(host_, ClientHooks{}, settings);
    service_->status = kStatusConnected;
    Argv argv({"Marrowlantern", "-d", "-q"});
    ASSERT_TRUE(app_->Start(argv.argc(), argv.argv()));
    host_.RunUntilIdle();
    ASSERT_TRUE(Eventually([] {
      Bytes reply;
      return platform::pipe::Transact(kMarrowlanternPipeName, {9}, reply, 16, 500, 500) == 0 && reply == Bytes{9};
    }));
    host_.Advance(kStatusTimerMs);
    ASSERT_EQ(app_->GetChannelStatus(), kStatusConnected);
    SetLogin(AUTH_TYPE_PASSWORD);
    ASSERT_EQ(LoadXmlConfig(), 0);
  }
  void TearDown() override { app_->Shutdown(); }

  void SetLogin(uint32_t authType) {
    conn_info c;
    c.host = "10.0.0.1";
    c.port = 443;
    c.auth_type = authType;
    c.user = "alice";
    c.secret1 = "old";
    app_->SetConn(c);
  }

  // alice's saved connection, the current one.
  void SaveConnection(const char* remember) {
    user_info r;
    r.ALIASID = "alice@10.0.0.1:443";
    r.NAME = "alice";
    r.HOST = "10.0.0.1";
    r.PORT = "443";
    r.PASSWORD = "old";
    r.LOGINMODE = "0";
    r.REMPASSWORD = remember;
    r.REMPINWORD = "0";
    r.PROXDETECT = "0";
    ASSERT_TRUE(g_xmlConfig.AddUser(r));
    ASSERT_TRUE(g_xmlConfig.SetCurrentUser(r.ALIASID));
    ASSERT_TRUE(g_xmlConfig.Load(XmlConfigPath()));
  }
  // The password the store's file holds, unprotected by a store of its own.
  std::string StoredPassword() {
    CXmlConfig fresh;
    EXPECT_TRUE(fresh.Load(XmlConfigPath()));
    const std::optional<user_info> current = fresh.GetCurrentUser();
    return current ? current->PASSWORD : "(no current connection)";
  }

  Dialog* Open() {
    Dialog* d = OpenChangePasswordDialog(*app_);
    host_.RunUntilIdle();
    EXPECT_NE(d, nullptr);
    return d;
  }
  Dialog* Find() { return host_.FindDialog(IDD_CHANGE_PASSWORD); }
  ChangePasswordLogic& Logic(Dialog& d) { return static_cast<ChangePasswordLogic&>(d.logic()); }

  void Type(const std::string& current, const std::string& fresh, const std::string& confirm) {
    EXPECT_TRUE(host_.SetText(IDD_CHANGE_PASSWORD, IDC_CURRENT_PASSWORD, current));
    EXPECT_TRUE(host_.SetText(IDD_CHANGE_PASSWORD, IDC_NEW_PASSWORD, fresh));
    EXPECT_TRUE(host_.SetText(IDD_CHANGE_PASSWORD, IDC_CONFIRM_PASSWORD, confirm));
  }
  void ClickOk() {
    EXPECT_TRUE(host_.Click(IDD_CHANGE_PASSWORD, IDC_CHANGE_PASSWORD_OK));
    host_.RunUntilIdle();
  }
  // Opens the dialog and sends old -> fresh; true when it waits.
  bool Attempt(const std::string& fresh) {
    Dialog* d = Open();
    if (d == nullptr) return false;
    Type("old", fresh, fresh);
    ClickOk();
    // An answer that came within the send may have ended it already.
    d = Find();
    return d != nullptr && Logic(*d).Awaited() != 0;
  }

  // The change-password requests the service received.
  std::vector<Bytes> Requests() {
    std::vector<Bytes> out;
    for (Bytes& m : service_->Commands())
      if (m.at(0) == VQ_CHANGE_PASSWORD) out.push_back(m);
    return out;
  }
  const std::vector<PendingBox>& Boxes() { return host_.PendingBoxes(); }
  // The ids of the boxes shown, each answered.
  std::vector<uint32_t> TakeBoxes() {
    std::vector<uint32_t> ids;
    while (!host_.PendingBoxes().empty()) {
      const PendingBox& box = host_.PendingBoxes().front();
      ids.push_back(box.text.stringId);
      EXPECT_EQ(box.caption, kProductTitle);
      EXPECT_EQ(box.flags & (MB_SETFOREGROUND | MB_TOPMOST), MB_SETFOREGROUND | MB_TOPMOST);
      host_.AnswerBox(box.serial, IDOK);
    }
    host_.RunUntilIdle();
    return ids;
  }
  // The results dialog 144 ended with, in order.
  std::vector<int> EndResults() {
    std::vector<int> results;
    for (const std::string& line : FileLines(uiLog_)) {
      if (line.find("\"dialog_end\"") == std::string::npos || line.find("\"template\":144") == std::string::npos)
        continue;
      const size_t at = line.find("\"result\":");
      if (at != std::string::npos) results.push_back(std::stoi(line.substr(at + 9)));
    }
    return results;
  }
  void ExpectButtons(Dialog& d, bool enabled) {
    EXPECT_EQ(d.IsEnabled(IDC_CHANGE_PASSWORD_OK), enabled);
    EXPECT_EQ(d.IsEnabled(IDC_CHANGE_PASSWORD_CANCEL), enabled);
  }

  TempRoot root_;  // first: the app's files live below it
  const std::string uiLog_ = root_.At("/ui.log");
  std::unique_ptr<FakeTunnelService> service_ = std::make_unique<FakeTunnelService>();
  platform::FakeClock clock_;
  HeadlessHost host_{clock_};
  std::unique_ptr<ClientApp> app_;
};

TEST_F(ChangePasswordTest, OpensWithTheUserAndThreeLimitedPasswordFields) {
  Dialog* d = Open();
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->Caption(), "Change Password");
  EXPECT_EQ(d->Text(IDC_CURRENT_USER), "alice");
  EXPECT_EQ(d->Focus(), IDC_CURRENT_PASSWORD);
  for (int id : {IDC_CURRENT_PASSWORD, IDC_NEW_PASSWORD, IDC_CONFIRM_PASSWORD}) {
    EXPECT_EQ(d->Limit(id), kPasswordFieldUnits);
    EXPECT_TRUE(d->templ().Find(id)->style & kPassword);
  }
  EXPECT_EQ(d->Text(IDC_CURRENT_PASSWORD_LABEL), "Current Password");
  EXPECT_EQ(d->Text(IDC_CONFIRM_PASSWORD_LABEL), "Confirm New Password");
  ExpectButtons(*d, true);
  // The menu command opens the same dialog, and only one.
  app_->Window()->OnCommand(ID_CHANGE_PASSWORD);
  host_.RunUntilIdle();
  EXPECT_EQ(Find(), d);
}

TEST_F(ChangePasswordTest, ChecksBeforeSending) {
  const struct {
    const char* name;
    const char* current;
    const char* fresh;
    const char* confirm;
    uint32_t authType;
    const char* codePage;
    uint32_t box;  // 0: sent
    int focus;     // 0: not moved
    std::string boxText;
  } rows[] = {
      {"current empty", "", "n", "n", AUTH_TYPE_PASSWORD, "UTF-8", IDS_REQUIRED_FIELD, IDC_CURRENT_PASSWORD, ""},
      {"new empty", "o", "", "n", AUTH_TYPE_PASSWORD, "UTF-8", IDS_REQUIRED_FIELD, IDC_CURRENT_PASSWORD, ""},
      {"confirm empty", "o", "n", "", AUTH_TYPE_PASSWORD, "UTF-8", IDS_REQUIRED_FIELD, IDC_CURRENT_PASSWORD, ""},
      {"confirm differs", "o", "n1", "n2", AUTH_TYPE_PASSWORD, "UTF-8", IDS_PASSWORDS_DIFFER, IDC_CURRENT_PASSWORD,
       ""},
      {"unchanged, password login", "same", "same", "same", AUTH_TYPE_PASSWORD, "UTF-8", IDS_PASSWORD_UNCHANGED, 0,
       ""},
      {"unchanged, cookie login", "same", "same", "same", AUTH_TYPE_COOKIE, "UTF-8", 0, 0, ""},
      {"unchanged, USB key only", "same", "same", "same", AUTH_TYPE_USB_KEY_ONLY, "UTF-8", 0, 0, ""},
      {"current outside CP1252", "密码", "neu", "neu", AUTH_TYPE_PASSWORD, "CP1252", IDS_PASSWORD_NOT_IN_CODE_PAGE,
       IDC_CURRENT_PASSWORD,
       "The Current Password contains characters that cannot be sent to the gateway. Use other characters."},
      {"new outside CP1252", "alt", "新", "新", AUTH_TYPE_PASSWORD, "CP1252", IDS_PASSWORD_NOT_IN_CODE_PAGE,
       IDC_NEW_PASSWORD,
       "The New Password contains characters that cannot be sent to the gateway. Use other characters."},
      {"both inside CP1252", "älter", "größer", "größer", AUTH_TYPE_PASSWORD, "CP1252", 0, 0, ""},
      {"both in CP936", "密码", "新密码", "新密码", AUTH_TYPE_PASSWORD, "CP936", 0, 0, ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    ASSERT_TRUE(SetCodePage(CodePage::Ansi, row.codePage));
    SetLogin(row.authType);
    const size_t before = Requests().size();
    Dialog* d = Open();
    ASSERT_NE(d, nullptr);
    d->SetFocus(IDC_CONFIRM_PASSWORD);
    Type(row.current, row.fresh, row.confirm);
    ClickOk();
    if (row.box != 0) {
      ASSERT_EQ(Boxes().size(), 1u);
      EXPECT_EQ(Boxes()[0].text.stringId, row.box);
      EXPECT_EQ(Boxes()[0].flags & MB_ICONMASK, MB_ICONERROR);
      EXPECT_EQ(Boxes()[0].owner ? *Boxes()[0].owner : nullptr, d) << "the box is the dialog's";
      if (!row.boxText.empty()) {
        EXPECT_EQ(Boxes()[0].text.text, row.boxText);
      }
      EXPECT_EQ(d->Focus(), row.focus ? row.focus : IDC_CONFIRM_PASSWORD);
      EXPECT_EQ(Requests().size(), before) << "nothing is sent";
      EXPECT_EQ(Logic(*d).Awaited(), 0u);
      ExpectButtons(*d, true);
      TakeBoxes();
      EXPECT_FALSE(d->Ended());
    } else {
      EXPECT_TRUE(Boxes().empty());
      ASSERT_EQ(Requests().size(), before + 1);
      const Bytes request = Requests().back();
      ASSERT_EQ(request.size(), 1 + change_pwd_info::kWireSize);
      EXPECT_EQ(Field(request, 1, 64), "alice");
      EXPECT_EQ(Field(request, 65, 128), Utf8ToAnsi(row.current));
      EXPECT_EQ(Field(request, 193, 128), Utf8ToAnsi(row.fresh));
      EXPECT_NE(Logic(*d).Awaited(), 0u);
      ExpectButtons(*d, false);
      EXPECT_TRUE(host_.Close(IDD_CHANGE_PASSWORD));
      host_.RunUntilIdle();
    }
    EXPECT_TRUE(host_.Close(IDD_CHANGE_PASSWORD) || Find() == nullptr);
    host_.RunUntilIdle();
  }
  SetCodePage(CodePage::Ansi, "UTF-8");
}

TEST_F(ChangePasswordTest, OutcomesByResult) {
  const struct {
    uint32_t code;
    uint32_t box;
    const char* text;
    bool ends;
  } rows[] = {
      {16, IDS_CHANGE_PASSWORD_SUCCEEDED, "Change password succeeded", true},
      {1006, IDS_CURRENT_PASSWORD_ERROR, "Current Password Error", false},
      {1015, 1015, "AAA server forbids current user to change password", true},
      {1016, 1016, "AAA server timeout", true},
      {14, 14, "Change password failed", true},
      {4, 4, "Connect to the server error", true},
      // Codes without a string of their own.
      {4016, IDS_CHANGE_PASSWORD_FAILED, "Change password failed (4016)", true},
      {4015, IDS_CHANGE_PASSWORD_FAILED, "Change password failed (4015)", true},
      {0xFFFFFFFF, IDS_CHANGE_PASSWORD_FAILED, "Change password failed (-1)", true},
      // An id of the dialog's own entries is no result code.
      {IDS_PASSWORD_NOT_IN_CODE_PAGE, IDS_CHANGE_PASSWORD_FAILED, "Change password failed (144000100)", true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.code);
    ASSERT_TRUE(Attempt("new"));
    Dialog* d = Find();
    Report(row.code);
    host_.RunUntilIdle();
    ASSERT_EQ(Boxes().size(), 1u);
    EXPECT_EQ(Boxes()[0].text.stringId, row.box);
    EXPECT_EQ(Boxes()[0].text.text, row.text);
    EXPECT_EQ(Boxes()[0].flags & MB_ICONMASK, row.code == 16 ? MB_ICONINFORMATION : MB_ICONERROR);
    if (row.ends) {
      EXPECT_EQ(Find(), nullptr);
      EXPECT_EQ(EndResults().back(), IDC_CHANGE_PASSWORD_OK);
    } else {
      ASSERT_EQ(Find(), d);
      EXPECT_EQ(d->Focus(), IDC_CURRENT_PASSWORD);
      ExpectButtons(*d, true);
      EXPECT_EQ(Logic(*d).Awaited(), 0u);
    }
    TakeBoxes();
    if (Find() != nullptr) {
      EXPECT_TRUE(host_.Click(IDD_CHANGE_PASSWORD, IDC_CHANGE_PASSWORD_CANCEL));
      host_.RunUntilIdle();
      EXPECT_EQ(EndResults().back(), IDC_CHANGE_PASSWORD_CANCEL);
    }
  }
}

TEST_F(ChangePasswordTest, SuccessEndsWithOkAndTheSavedPasswordFollowsWhenRemembered) {
  for (const char* remember : {"1", "0"}) {
    SCOPED_TRACE(std::string("REMPASSWORD ") + remember);
    user_info saved;
    saved.ALIASID = "alice@10.0.0.1:443";
    g_xmlConfig.DeleteUser(saved);
    SaveConnection(remember);
    ASSERT_EQ(StoredPassword(), std::string(remember) == "1" ? "old" : "");
    ASSERT_TRUE(Attempt("n3w-Secret"));
    Report(16);
    host_.RunUntilIdle();
    EXPECT_EQ(Find(), nullptr);
    EXPECT_EQ(EndResults().back(), IDC_CHANGE_PASSWORD_OK);
    EXPECT_EQ(TakeBoxes(), std::vector<uint32_t>{IDS_CHANGE_PASSWORD_SUCCEEDED});
    EXPECT_EQ(StoredPassword(), std::string(remember) == "1" ? "n3w-Secret" : "");
    EXPECT_EQ(g_xmlConfig.GetCurrentUser()->REMPASSWORD, remember);
  }
  EXPECT_NE(ReadLogText().find("Change PassWord Success!"), std::string::npos);
}

TEST_F(ChangePasswordTest, SilenceTimesOutAtThirtySeconds) {
  ASSERT_TRUE(Attempt("new"));
  Dialog* d = Find();
  host_.Advance(kPasswordWaitMs - 1);
  ASSERT_EQ(Find(), d);
  EXPECT_NE(Logic(*d).Awaited(), 0u);
  EXPECT_TRUE(Boxes().empty());
  ExpectButtons(*d, false);
  EXPECT_FALSE(host_.Click(IDD_CHANGE_PASSWORD, IDC_CHANGE_PASSWORD_OK)) << "one attempt at a time";
  host_.Advance(1);
  EXPECT_EQ(Find(), nullptr);
  EXPECT_EQ(EndResults(), std::vector<int>{IDC_CHANGE_PASSWORD_OK});
  EXPECT_EQ(TakeBoxes(), std::vector<uint32_t>{IDS_CHANGE_PASSWORD_TIMEOUT});
  EXPECT_NE(ReadLogText().find("Change PassWord Time out!"), std::string::npos);
}

TEST_F(ChangePasswordTest, AnAnswerWithinTheSendIsNotLost) {
  SaveConnection("1");
  service_->SetCommandScript(VQ_CHANGE_PASSWORD, [](const Bytes&) {
    // The service answers before its reply to the command is read.
    Report(16);
    return std::optional<Bytes>(Bytes{VQ_CHANGE_PASSWORD, 0, 0, 0, 0});
  });
  Attempt("quick");
  host_.RunUntilIdle();
  EXPECT_EQ(Find(), nullptr);
  EXPECT_EQ(TakeBoxes(), std::vector<uint32_t>{IDS_CHANGE_PASSWORD_SUCCEEDED});
  EXPECT_EQ(StoredPassword(), "quick");
}

TEST_F(ChangePasswordTest, ALateAnswerOfAnEarlierAttemptIsDropped) {
  SaveConnection("1");
  ASSERT_TRUE(Attempt("first"));
  host_.Advance(kPasswordWaitMs);
  EXPECT_EQ(TakeBoxes(), std::vector<uint32_t>{IDS_CHANGE_PASSWORD_TIMEOUT});
  ASSERT_TRUE(Attempt("second"));
  Dialog* d = Find();
  Report(16);  // the first attempt's, late
  host_.RunUntilIdle();
  ASSERT_EQ(Find(), d);
  EXPECT_NE(Logic(*d).Awaited(), 0u) << "still waiting for its own answer";
  EXPECT_TRUE(Boxes().empty());
  EXPECT_EQ(StoredPassword(), "old");
  Report(1006);
  host_.RunUntilIdle();
  EXPECT_EQ(TakeBoxes(), std::vector<uint32_t>{IDS_CURRENT_PASSWORD_ERROR});
  EXPECT_EQ(Find(), d);
  EXPECT_EQ(StoredPassword(), "old");
  EXPECT_NE(ReadLogText().find("of an earlier request (1), dropped"), std::string::npos);
}

TEST_F(ChangePasswordTest, CountsStartAgainOnceDisconnected) {
  // A request the service took and never answered: it went away.
  ASSERT_TRUE(Attempt("lost"));
  EXPECT_TRUE(host_.Close(IDD_CHANGE_PASSWORD));
  service_->status = kStatusDisconnected;
  host_.Advance(kStatusTimerMs);
  service_->status = kStatusConnected;
  host_.Advance(kStatusTimerMs);
  ASSERT_TRUE(Attempt("again"));
  Report(1015);
  host_.RunUntilIdle();
  EXPECT_EQ(TakeBoxes(), std::vector<uint32_t>{1015}) << "the answer is the new request's";
  // An answer with no request outstanding goes nowhere.
  Report(16);
  host_.RunUntilIdle();
  EXPECT_TRUE(Boxes().empty());
  EXPECT_NE(ReadLogText().find("Change password result 16 without a request, dropped"), std::string::npos);
}

TEST_F(ChangePasswordTest, EscDuringTheWaitEndsItAndTheLaterAnswerFindsNoDialog) {
  SaveConnection("1");
  ASSERT_TRUE(Attempt("new"));
  const std::shared_ptr<Dialog*> token = Find()->token();
  EXPECT_TRUE(host_.Close(IDD_CHANGE_PASSWORD));
  host_.RunUntilIdle();
  EXPECT_EQ(*token, nullptr);
  EXPECT_EQ(EndResults(), std::vector<int>{IDCANCEL});
  Report(16);
  host_.RunUntilIdle();
  host_.Advance(kPasswordWaitMs);
  EXPECT_TRUE(Boxes().empty());
  EXPECT_EQ(StoredPassword(), "old");
  EXPECT_NE(ReadLogText().find("after its dialog closed, dropped"), std::string::npos);
}

TEST_F(ChangePasswordTest, WithoutTheTunnelServiceBox91AndNoWait) {
  service_.reset();
  Dialog* d = Open();
  ASSERT_NE(d, nullptr);
  Type("old", "new", "new");
  ClickOk();
  EXPECT_EQ(TakeBoxes(), std::vector<uint32_t>{IDS_CANNOT_CONNECT_SERVICE});
  EXPECT_EQ(Logic(*d).Awaited(), 0u);
  ExpectButtons(*d, true);
  EXPECT_FALSE(d->HasTimer(kPasswordWaitTimer));
  // A result now belongs to no request.
  Report(16);
  host_.RunUntilIdle();
  EXPECT_TRUE(Boxes().empty());
  EXPECT_EQ(Find(), d);
}

}  // namespace
