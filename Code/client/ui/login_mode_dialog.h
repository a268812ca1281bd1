// Login Mode (dialog 140): the user picks how to log in.
//
//   open         1059 for mode 1, 1060 for mode 2, 1058 otherwise
//   OK           the new mode (0, 1, 2; 3 when no button is selected);
//                when it differs from the current mode and from the
//                current connection's LOGINMODE, that LOGINMODE becomes it
//                in the current record, in its saved connection and in the
//                store's file. The caller changes the mode itself.
//   Select Cert  the certificate choice (Select Certificate)
//   Cancel       nothing
#pragma once

#include <functional>

#include "platform/ui/dialog.h"

namespace client {

class ClientApp;

class LoginModeLogic : public platform::ui::DialogLogic {
 public:
  explicit LoginModeLogic(ClientApp& app) : app_(app) {}
  void OnInit(platform::ui::Dialog& d) override;
  void OnCommand(platform::ui::Dialog& d, int id, int code) override;

 private:
  void Accept(platform::ui::Dialog& d);

  ClientApp& app_;
};

// Opens dialog 140 modal to owner; onEnd runs once it ended. False when the
// host opens nothing.
bool RunLoginModeDialog(ClientApp& app, platform::ui::Dialog* owner, std::function<void(int result)> onEnd);

}  // namespace client
