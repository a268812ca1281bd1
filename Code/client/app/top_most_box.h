// The client's error and question boxes from any thread, topmost, with the
// product title: on the UI thread shown at once, from a worker posted to it.
// A worker never waits for an answer on the UI thread: the UI thread may be
// joining that worker (Disconnect cancels a connect), and the tunnel
// service's reports must be answered while a box is open.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/ui/ui_host.h"

namespace client {

class ClientApp;

// ShowTopMostMessage: owned by the main window (no dialog). onResult, when
// given, runs on the UI thread with the answer.
void ShowTopMostMessage(ClientApp& app, platform::ui::BoxText text, uint32_t flags,
                        std::function<void(int)> onResult = {});
// ShowTopMostMessageFor the login dialog: over it while it is open, else
// as ShowTopMostMessage.
void ShowTopMostMessageOverLogin(ClientApp& app, platform::ui::BoxText text, uint32_t flags);

}  // namespace client
