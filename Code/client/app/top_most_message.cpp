#include "client/app/top_most_message.h"

#include <fmt/printf.h>

#include <string>
#include <utility>

#include "client/app/client_app.h"
#include "client/app/client_constants.h"
#include "platform/ui/win32_ui.h"
#include "platform/win32/win32_error.h"
#include "support/log.h"

namespace client {

namespace ui = platform::ui;

namespace {

constexpr uint32_t kTopMost = ui::MB_SETFOREGROUND | ui::MB_TOPMOST;

void OnUiThread(ui::UiHost& host, std::function<void()> fn) {
  if (host.IsUiThread()) {
    fn();
  } else {
    host.Post(std::move(fn));
  }
}

}  // namespace

void ShowTopMostMessage(ClientApp& app, ui::BoxText text, uint32_t flags, std::function<void(int)> onResult) {
  ui::UiHost& host = app.Host();
  OnUiThread(host, [&host, text = std::move(text), flags, onResult = std::move(onResult)]() mutable {
    host.MessageBox(nullptr, std::move(text), kProductTitle, flags | kTopMost, std::move(onResult));
  });
}

void ShowTopMostMessageFor(ClientApp& app, int ownerTemplate, ui::BoxText text, uint32_t flags) {
  ui::UiHost& host = app.Host();
  OnUiThread(host, [&host, ownerTemplate, text = std::move(text), flags]() mutable {
    ui::Dialog* owner = ownerTemplate != 0 ? host.FindDialog(ownerTemplate) : nullptr;
    host.MessageBox(owner, std::move(text), kProductTitle, flags | kTopMost, {});
  });
}

void ShowTopMostMessageOverLogin(ClientApp& app, ui::BoxText text, uint32_t flags) {
  ui::UiHost& host = app.Host();
  OnUiThread(host, [&host, text = std::move(text), flags]() mutable {
    ui::Dialog* login = nullptr;
    for (int templateId : kLoginDialogTemplates) {
      if ((login = host.FindDialog(templateId)) != nullptr) break;
    }
    host.MessageBox(login, std::move(text), kProductTitle, flags | kTopMost, {});
  });
}

void ReportLastError(ClientApp& app, std::string_view label) {
  // Read first: whatever runs next may change it.
  const uint32_t error = platform::LastWin32Error();
  const std::string text =
      fmt::sprintf("%s: error %ld: %s", std::string(label), static_cast<long>(error), platform::Win32ErrorText(error));
  ShowTopMostMessage(app, text, ui::MB_ICONERROR);
  LogPrint(LOG_ERR, "%s\n", text.c_str());
}

}  // namespace client
