// The client's message boxes above every other window: the product title,
// MB_SETFOREGROUND | MB_TOPMOST added to the caller's flags.
//
// Any thread. On the UI thread the box is shown at once, from a worker it
// is posted. A worker never waits for the answer: the UI thread may be
// joining that worker (Disconnect cancels a connect), and the tunnel
// service's reports must be answered while a box is open. A box for an
// owner dialog is given the dialog found by its template when it is shown:
// a worker never holds a dialog.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

#include "platform/ui/ui_host.h"

namespace client {

class ClientApp;

// onResult, when given, runs on the UI thread with the answer.
void ShowTopMostMessage(ClientApp& app, platform::ui::BoxText text, uint32_t flags,
                        std::function<void(int)> onResult = {});
// ownerTemplate: the dialog that owns the box; without such an open dialog
// the box has no owner.
void ShowTopMostMessageFor(ClientApp& app, int ownerTemplate, platform::ui::BoxText text, uint32_t flags);
// Over whichever login dialog is open, else without owner.
void ShowTopMostMessageOverLogin(ClientApp& app, platform::ui::BoxText text, uint32_t flags);
// "<label>: error <n>: <text>" for the calling thread's last error, shown
// with MB_ICONERROR and logged.
void ReportLastError(ClientApp& app, std::string_view label);

}  // namespace client
