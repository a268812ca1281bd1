// Marrowlantern Options (dialog 158): a tree (1063) on the left picks the
// page shown in the frame (1065): General (template 159) for start at
// logon, automatic login and the certificate choice, Saved Connection
// (template 160) to add, change or delete one saved connection.
//
//   Options
//     General
//     Saved Connection
//       <one item per saved connection, in list order>
//
// Right click on an item selects it and offers menu 109's "Add User"
// (40020) and "Delete User" (40021): on "Saved Connection" only the first,
// on a connection only the second, elsewhere both.
//
// Every change goes through the store's operations: the list, the file and
// the tree change together, and a store operation that fails shows an error
// box and leaves all three as they were.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "client/cert/client_cert_settings.h"
#include "client/store/xml_config.h"
#include "platform/sync/message_queue.h"
#include "platform/ui/dialog.h"

namespace client {

class ClientApp;

inline constexpr int IDD_OPTIONS = 158;
inline constexpr int IDC_OPTIONS_TREE = 1063;
inline constexpr int IDC_OPTIONS_FRAME = 1065;
inline constexpr uint32_t IDS_OPTIONS_CAPTION = 161;
inline constexpr uint32_t IDS_TREE_OPTIONS = 350;
inline constexpr uint32_t IDS_TREE_GENERAL = 351;
inline constexpr uint32_t IDS_TREE_SAVED_CONNECTION = 352;
inline constexpr uint32_t IDS_DELETE_CONNECTION = 355;
// The box after a store operation that failed.
inline constexpr uint32_t IDS_OPTIONS_NOT_SAVED = platform::ui::StringEntryId(IDD_OPTIONS, 100);

// Messages of the dialog and its Saved Connection page. Texts travel as a
// const std::string* in lParam (sent, never posted).
inline constexpr uint32_t WM_OPTIONS_SHOW_CONNECTION = platform::WM_USER + 200;  // alias or ""
inline constexpr uint32_t WM_OPTIONS_NEW_CONNECTION = platform::WM_USER + 201;
inline constexpr uint32_t WM_OPTIONS_DELETE_CONNECTION = platform::WM_USER + 202;  // alias; 1 when deleted
inline constexpr uint32_t WM_OPTIONS_ASK_DELETE = platform::WM_USER + 300;

// The tree items' pages (their item data).
enum class OptionsItem : uint64_t { General = 0, SavedConnectionRoot = 1, Connection = 2 };

// Saved Connection page state.
inline constexpr uint32_t kPageStateNone = 0;
inline constexpr uint32_t kPageStateAdding = 1;
inline constexpr uint32_t kPageStateEditing = 2;

// What the dialog works on, so that tests give it their own.
struct OptionsContext {
  CXmlConfig* store = nullptr;
  ClientCertSettings* certificates = nullptr;
  // VQ_SET_AUTO_LOGON to the tunnel service after General Apply.
  std::function<void(bool on)> applyAutoLogonFlag;
  // Start at logon: whether the entry exists, written for the program's
  // path (false: not written), removed (false: still there).
  std::function<bool()> hasAutoStart;
  std::function<bool()> setAutoStart;
  std::function<bool()> deleteAutoStart;
  // The USB key's user name (GetUsbKeyUserName's contract).
  std::function<int(std::string& out)> usbKeyUserName;
};

// What the dialog and its two pages share while it is open.
struct OptionsSession {
  explicit OptionsSession(OptionsContext c) : context(std::move(c)) {}

  CXmlConfig& Store() const { return *context.store; }
  platform::ui::Dialog* Top() const { return dialog ? *dialog : nullptr; }
  platform::ui::Dialog* GeneralPage() const { return general ? *general : nullptr; }
  platform::ui::Dialog* SavedPage() const { return saved ? *saved : nullptr; }
  // The error box of a failed store operation, owned by the dialog.
  void ShowNotSaved() const;
  // A box with the options caption, owned by the dialog.
  void Confirm(uint32_t stringId, std::function<void()> onOk, std::function<void()> onCancel = {}) const;
  void ShowError(uint32_t stringId) const;
  // "Close" on either page, Esc, the close box: page state 0, the dialog
  // ended with its pages.
  void Close();

  OptionsContext context;
  std::shared_ptr<platform::ui::Dialog*> dialog;
  std::shared_ptr<platform::ui::Dialog*> general;
  std::shared_ptr<platform::ui::Dialog*> saved;
  platform::ui::TreeHandle savedRoot = 0;
  uint32_t pageState = kPageStateNone;
  std::string editedAlias;
};

const platform::ui::DialogTemplate& OptionsTemplate();

class COptionsDialog : public platform::ui::DialogLogic {
 public:
  explicit COptionsDialog(OptionsContext context) : session_(std::make_shared<OptionsSession>(std::move(context))) {}

  void OnInit(platform::ui::Dialog& d) override;
  void OnCommand(platform::ui::Dialog& d, int id, int code) override;
  void OnNotify(platform::ui::Dialog& d, int id, int code, uint64_t data) override;
  intptr_t OnMessage(platform::ui::Dialog& d, uint32_t message, uintptr_t wParam, intptr_t lParam) override;

  const OptionsSession& Session() const { return *session_; }

 private:
  void SelectionChanged(platform::ui::Dialog& d, platform::ui::TreeHandle item);
  void ShowPage(OptionsItem page);
  void PopupFor(platform::ui::Dialog& d, platform::ui::TreeHandle item);
  void AddUser(platform::ui::Dialog& d);
  void AskDelete(platform::ui::Dialog& d);

  std::shared_ptr<OptionsSession> session_;
  bool generalShown_ = true;
};

// Selects item in the tree and tells the dialog, as a user's choice would.
void SelectOptionsItem(platform::ui::Dialog& dialog, platform::ui::TreeHandle item);

// Opens dialog 158 modal to owner (may be null); nullptr when the host
// opens nothing.
platform::ui::Dialog* OpenOptionsDialog(platform::ui::UiHost& host, platform::ui::Dialog* owner,
                                        OptionsContext context);
// The same for the running application (its store, certificate choice,
// service link and the user's autostart entry); an open one comes forward.
platform::ui::Dialog* OpenOptionsDialog(ClientApp& app);

}  // namespace client
