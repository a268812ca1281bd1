// Change Password (dialog 144): a connected user types the current, the new
// and the confirmed password; the tunnel service changes it on the gateway.
//
//   open    1056 shows g_conn's user; 1057-1059 hold 31 characters each;
//           the focus is on 1057
//   OK      (1054) OK and Cancel greyed while it runs:
//           1. a field empty: 1018; new and confirm differ: 1017; focus 1057
//           2. a password login whose new password is the current one: 1022
//           3. a password the ANSI code page cannot carry: refused, naming
//              its field
//           4. the request armed (PasswordRequests), then sent; not
//              delivered: the link showed why, and nothing waits
//           5. the wait: 30 s on the host's timer, ended by the answer of
//              this request (WM_PASSWORD_RESULT from OnPasswordResult)
//   outcome 16: the success box, the current saved connection's password
//           follows, the dialog ends (1054); 1006: 1019, focus 1057, the
//           dialog stays for another try; any other code its string (14
//           with the code where it has none), the dialog ends; no answer
//           in time: 15, the dialog ends
//   Cancel  (1055), Esc and the close box end it, during the wait too: a
//           later answer finds no dialog and is dropped
#pragma once

#include <cstdint>
#include <string>

#include "platform/sync/message_queue.h"
#include "platform/ui/dialog.h"

namespace client {

class ClientApp;

inline constexpr int IDD_CHANGE_PASSWORD = 144;
inline constexpr int IDC_CHANGE_PASSWORD_OK = 1054;
inline constexpr int IDC_CHANGE_PASSWORD_CANCEL = 1055;
inline constexpr int IDC_CURRENT_USER = 1056;
inline constexpr int IDC_CURRENT_PASSWORD = 1057;
inline constexpr int IDC_NEW_PASSWORD = 1058;
inline constexpr int IDC_CONFIRM_PASSWORD = 1059;
// The labels, in table order.
inline constexpr int IDC_CURRENT_USER_LABEL = platform::ui::kFirstLabelId;
inline constexpr int IDC_CURRENT_PASSWORD_LABEL = platform::ui::kFirstLabelId + 1;
inline constexpr int IDC_NEW_PASSWORD_LABEL = platform::ui::kFirstLabelId + 2;
inline constexpr int IDC_CONFIRM_PASSWORD_LABEL = platform::ui::kFirstLabelId + 3;

inline constexpr size_t kPasswordFieldUnits = 31;
inline constexpr uint32_t kPasswordWaitTimer = 1;
inline constexpr uint32_t kPasswordWaitMs = 30000;
// wParam: the number of the request answered; lParam: the result code.
inline constexpr uint32_t WM_PASSWORD_RESULT = platform::WM_USER + 1;

// Results of the tunnel service with their own handling.
inline constexpr uint32_t kPasswordChanged = 16;
inline constexpr uint32_t kCurrentPasswordWrong = 1006;

inline constexpr uint32_t IDS_CHANGE_PASSWORD_FAILED = 14;
inline constexpr uint32_t IDS_CHANGE_PASSWORD_TIMEOUT = 15;
inline constexpr uint32_t IDS_CHANGE_PASSWORD_SUCCEEDED = 16;
inline constexpr uint32_t IDS_PASSWORDS_DIFFER = 1017;
inline constexpr uint32_t IDS_REQUIRED_FIELD = 1018;
inline constexpr uint32_t IDS_CURRENT_PASSWORD_ERROR = 1019;
inline constexpr uint32_t IDS_PASSWORD_UNCHANGED = 1022;
// "%s" is the field's label.
inline constexpr uint32_t IDS_PASSWORD_NOT_IN_CODE_PAGE = platform::ui::StringEntryId(IDD_CHANGE_PASSWORD, 100);

const platform::ui::DialogTemplate& ChangePasswordTemplate();

class ChangePasswordLogic : public platform::ui::DialogLogic {
 public:
  explicit ChangePasswordLogic(ClientApp& app) : app_(app) {}
  void OnInit(platform::ui::Dialog& d) override;
  void OnCommand(platform::ui::Dialog& d, int id, int code) override;
  void OnTimer(platform::ui::Dialog& d, uint32_t id) override;
  intptr_t OnMessage(platform::ui::Dialog& d, uint32_t message, uintptr_t wParam, intptr_t lParam) override;
  void OnClose(platform::ui::Dialog& d) override;

  // The number of the request whose answer is awaited; 0: none.
  uint64_t Awaited() const { return awaited_; }

 private:
  void Submit(platform::ui::Dialog& d);
  // A check failed: the box over the dialog, the focus on field.
  void Refuse(platform::ui::Dialog& d, platform::ui::BoxText text, int field);
  void Outcome(platform::ui::Dialog& d, uint32_t code);
  void EndWait(platform::ui::Dialog& d);
  static void SetButtons(platform::ui::Dialog& d, bool enabled);

  ClientApp& app_;
  uint64_t awaited_ = 0;
  std::string newPassword_;
};

// Opens dialog 144 for the running application, modal without owner; an
// open one is brought forward instead. Nullptr when the host opens nothing.
platform::ui::Dialog* OpenChangePasswordDialog(ClientApp& app);

}  // namespace client
