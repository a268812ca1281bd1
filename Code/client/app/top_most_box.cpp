#include "client/app/top_most_box.h"

#include <utility>

#include "client/app/client_app.h"
#include "client/app/client_constants.h"
#include "platform/ui/win32_ui.h"

namespace client {
namespace {

namespace ui = platform::ui;

constexpr uint32_t kTopMost = ui::MB_SETFOREGROUND | ui::MB_TOPMOST;

void OnUiThread(ClientApp& app, std::function<void()> fn) {
  if (app.Host().IsUiThread()) {
    fn();
  } else {
    app.Host().Post(std::move(fn));
  }
}

}  // namespace

void ShowTopMostMessage(ClientApp& app, ui::BoxText text, uint32_t flags, std::function<void(int)> onResult) {
  OnUiThread(app, [&app, text = std::move(text), flags, onResult = std::move(onResult)]() mutable {
    app.Host().MessageBox(nullptr, std::move(text), kProductTitle, flags | kTopMost, std::move(onResult));
  });
}

void ShowTopMostMessageOverLogin(ClientApp& app, ui::BoxText text, uint32_t flags) {
  OnUiThread(app, [&app, text = std::move(text), flags]() mutable {
    ui::Dialog* login = nullptr;
    for (int templateId : kLoginDialogTemplates) {
      if ((login = app.Host().FindDialog(templateId)) != nullptr) break;
    }
    app.Host().MessageBox(login, std::move(text), kProductTitle, flags | kTopMost, {});
  });
}

}  // namespace client
