// A report's road through the dispatcher:
//   length check of its type -> reply [type] -> by type: VQ_NOTIFY by its
//   sub-code (preferred gateway, host-check failure, the switch query,
//   portal URL and menu title, server text, gateway credential), VQ_EVENT
//   by the event table, else the default handling of an error code
//   (preferred switch, stored list, then the code's text), VQ_PASSWORD_RESULT,
//   VQ_SMS_EVENT; anything else only [type].
#include "client/app/report_dispatcher.h"

#include <cstring>
#include <string>
#include <utility>

#include "client/app/client_app.h"
#include "client/app/client_constants.h"
#include "client/app/connect_launcher.h"
#include "client/app/main_window.h"
#include "client/app/top_most_message.h"
#include "platform/ui/win32_ui.h"
#include "support/conn_info.h"
#include "support/log.h"
#include "support/text_convert.h"
#include "support/wire.h"

namespace client {
namespace {

namespace ui = platform::ui;

// Event and error codes the event table names.
constexpr uint32_t kEventConnected = 13;
constexpr uint32_t kEventRouteError = 45;
constexpr uint32_t kEventPreferReconnect = 107;
constexpr uint32_t kEventKeysInPlace = 120;
constexpr uint32_t kEventCertNotYetValid = 1008;
constexpr uint32_t kEventCertExpired = 1009;
constexpr uint32_t kEventSessionExpired = 1013;
constexpr uint32_t kEventServerTextShown = 1014;
constexpr int32_t kSessionExpiredState = -12;
constexpr uint32_t kPasswordChangeAllowed = 18;

// The text of a report: the bytes after [type][sub], up to a terminator.
std::string ReportText(const std::vector<uint8_t>& request) {
  const char* text = reinterpret_cast<const char*>(request.data() + 2);
  return std::string(text, strnlen(text, request.size() - 2));
}

size_t MinimumLength(const std::vector<uint8_t>& request) {
  switch (request[0]) {
    case VQ_NOTIFY: return request.size() >= 2 && request[1] == VQ_NOTIFY_PREFER_SERVER ? 10 : 2;
    case VQ_EVENT:
    case VQ_PASSWORD_RESULT:
    case VQ_SMS_EVENT: return 5;
    default: return 1;
  }
}

uint32_t RawU32(const uint8_t* p) {
  uint32_t value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

class Dispatch {
 public:
  Dispatch(ClientApp& app) : app_(app), state_(app.Reports()), hooks_(app.Hooks()) {}

  std::vector<uint8_t> Run(const std::vector<uint8_t>& request) {
    std::vector<uint8_t> reply{request[0]};
    if (request.size() < MinimumLength(request)) {
      LogPrint(LOG_ERR, "Report of type %d too short (%d bytes), ignored\n", request[0],
               static_cast<int>(request.size()));
      return reply;
    }
    switch (request[0]) {
      case VQ_NOTIFY: Notify(request, reply); break;
      case VQ_EVENT: Event(wire::GetU32(&request[1])); break;
      case VQ_PASSWORD_RESULT: PasswordResult(wire::GetU32(&request[1])); break;
      case VQ_SMS_EVENT: hooks_.onSmsEvent(app_, wire::GetU32(&request[1])); break;
      default: break;
    }
    return reply;
  }

 private:
  void Post(std::function<void()> fn) { app_.Host().Post(std::move(fn)); }
  void PostHook(const ClientHooks::Call& call) {
    Post([&app = app_, &call] { call(app); });
  }

  void Notify(const std::vector<uint8_t>& request, std::vector<uint8_t>& reply) {
    switch (request[1]) {
      case VQ_NOTIFY_PREFER_SERVER: PreferServer(request, reply); break;
      case VQ_NOTIFY_HOST_CHECK_FAILED: HostCheckFailed(); break;
      case VQ_NOTIFY_QUERY_PROX: {
        const std::optional<bool> detects = hooks_.pendingProfileDetectsProximity(app_);
        const bool busy = (detects && !*detects) || state_.processProxIp || state_.proxSwitchDone;
        reply.resize(6);
        reply[1] = VQ_NOTIFY_QUERY_PROX;
        wire::PutU32(&reply[2], busy ? 1 : 0);
        break;
      }
      case VQ_NOTIFY_URL:
        if (request.size() > kMaxUrlReport) {
          LogPrint(LOG_ERR, "URL length invalid");
          break;
        }
        state_.SetPortalUrl(ReportText(request));
        state_.urlPending = true;
        break;
      case VQ_NOTIFY_URL_TITLE: UrlTitle(request); break;
      case VQ_NOTIFY_SERVER_TEXT: ServerText(request); break;
      case VQ_NOTIFY_CREDENTIAL:
        // Refused whole, flag included: a cut cookie would serve nobody.
        if (request.size() > kMaxCredentialReport) {
          LogPrint(LOG_ERR, " Invalid message");
          break;
        }
        if (app_.Conn().auth_type != AUTH_TYPE_USB_KEY_ONLY) state_.useCredential = true;
        state_.SetGatewayCredential(ReportText(request));
        break;
      default: break;
    }
  }

  void PreferServer(const std::vector<uint8_t>& request, std::vector<uint8_t>& reply) {
    if (state_.proxSwitchDone) {
      LogPrint(LOG_DEBUG, "ProcessProxIP,Use new IP Connected success!");
      return;
    }
    const uint32_t address = RawU32(&request[2]);
    const uint32_t port = RawU32(&request[6]);
    if (!hooks_.isProxIp(app_, address)) {
      reply.resize(6);
      reply[1] = VQ_NOTIFY_PREFER_SERVER;
      wire::PutU32(&reply[2], 1);
    }
    hooks_.addPreferServer(app_, address, port);
  }

  void HostCheckFailed() {
    state_.hostCheckBalloon = true;
    Post([&app = app_] {
      ui::UiHost& host = app.Host();
      host.RemoveTrayIcon();
      host.SetTrayIcon(kHostCheckTrayIcon, "");
      host.ShowBalloon(host.LoadString(IDS_HOST_CHECK_BALLOON_TITLE), host.LoadString(IDS_HOST_CHECK_BALLOON_TEXT),
                       ui::BalloonIcon::Error);
    });
  }

  void UrlTitle(const std::vector<uint8_t>& request) {
    if (request.size() > kMaxUrlTitleReport) {
      LogPrint(LOG_ERR, "URLTitle length invalid");
      return;
    }
    state_.portalItemInserted = false;
    ReportState::PortalTitles titles;
    const int parsed = ParseUrlTitle(ReportText(request), titles);
    state_.SetTitles(titles);
    if (parsed != 0) return;
    const std::string title = AnsiToUtf8(app_.UiLanguage() == 2052 ? titles.chinese : titles.english);
    state_.portalItemInserted = true;
    Post([&app = app_, title] { app.Hooks().insertPortalItem(app, title); });
  }

  void ServerText(const std::vector<uint8_t>& request) {
    if (request.size() > kMaxServerTextReport) {
      LogPrint(LOG_ERR, " Invalid message");
      return;
    }
    // Shown as the host shows text: valid UTF-8 (a bad sequence becomes a
    // replacement character, never bytes the view cannot take).
    const std::string text = WideToUtf8(Utf8ToWide(ReportText(request)));
    if (!text.empty()) ShowTopMostMessage(app_, ui::BoxText(text), ui::MB_ICONERROR);
  }

  void PasswordResult(uint32_t value) {
    if (value != kPasswordChangeAllowed) {
      hooks_.onPasswordResult(app_, value);
      return;
    }
    // The gateway says so at every connect; the menu takes the item once.
    if (!state_.changePasswordItemInserted.exchange(true)) PostHook(hooks_.insertChangePasswordItem);
  }

  void Event(uint32_t code) {
    switch (code) {
      case kEventConnected: Connected(); break;
      case kEventRouteError:
        if (!state_.event45Retried.exchange(true)) {
          app_.Launcher().PostStartConnect();
        } else {
          DefaultHandling(code);
        }
        break;
      case kEventPreferReconnect:
        LogPrint(LOG_DEBUG, "Receive Prefer server ip reconnect!\n");
        // The set-up that brought the list has ended: the switch may open.
        if (state_.processProxIp) hooks_.setSwitchEvent(app_);
        break;
      case kEventKeysInPlace:
        state_.loginHidden = true;
        PostHook(hooks_.hideLoginDialog);
        break;
      case kEventCertNotYetValid:
      case kEventCertExpired:
        Post([&app = app_, code] {
          app.Host().MessageBox(nullptr, app.Host().String(code), kProductTitle, ui::MB_YESNO, [&app](int answer) {
            if (answer == ui::IDNO && app.Window() != nullptr) app.Window()->OnCommand(ID_DISCONNECT);
          });
        });
        break;
      case kEventSessionExpired: app_.SetSessionState(kSessionExpiredState); break;
      default: DefaultHandling(code); break;
    }
  }

  void Connected() {
    // The key the login used is in: the USB-key watch starts from "present".
    const int mode = app_.GetLoginMode();
    if (mode == 1 || mode == 2) app_.SetUsbKeyValue(1);
    PostHook(hooks_.savePendingProfile);
    hooks_.setUpdateGate(app_);
    if (state_.processProxIp.exchange(false)) {
      state_.proxSwitchDone = true;
      hooks_.setSwitchEvent(app_);
      LogPrint(LOG_DEBUG, " ProcessBrindlewayCommand :Close g_bProcessProxIP status \n");
    }
    state_.proxListTried = false;
    // The URL as it is now: a later report may replace it before the UI
    // thread runs the open.
    if (state_.urlPending) {
      Post([&app = app_, url = state_.PortalUrl()] { app.Hooks().openUrl(app, url); });
    }
  }

  void DefaultHandling(uint32_t code) {
    if (state_.processProxIp) {
      hooks_.setSwitchEvent(app_);
      return;
    }
    if (!state_.proxListTried && hooks_.storedPreferListHasEntry(app_)) {
      state_.processProxIp = true;
      state_.proxListTried = true;
      hooks_.startPreferSwitch(app_);
      return;
    }
    PostHook(hooks_.freePendingProfile);
    Post([&app = app_] { app.Hooks().setLoginDialogIdle(app, true); });
    if (code == 1003 || code == 87 || code == 10 || code == kEventServerTextShown) hooks_.setUpdateGate(app_);
    if (code == kEventServerTextShown) return;
    const int32_t signedCode = static_cast<int32_t>(code);
    const std::string text = signedCode < 0 ? std::string() : app_.Host().LoadString(code);
    // A code without a text would be an empty error box.
    if (text.empty()) {
      LogPrint(LOG_ERR, "Connect ended with code %d\n", signedCode);
    } else {
      ShowTopMostMessageOverLogin(app_, ui::BoxText(text, code), ui::MB_ICONERROR);
    }
    state_.proxListTried = false;
    state_.processProxIp = false;
  }

  ClientApp& app_;
  ReportState& state_;
  const ClientHooks& hooks_;
};

}  // namespace

int ParseUrlTitle(std::string_view text, ReportState::PortalTitles& titles) {
  titles = {};
  const size_t en = text.find("en=$");
  const size_t amp = text.find('&');
  const size_t zh = text.find("zh=$");
  if (en == std::string_view::npos || amp == std::string_view::npos || zh == std::string_view::npos) return -1;
  const size_t start = en + 4;
  if (amp > start && amp - start <= kMaxEnglishTitle) titles.english = std::string(text.substr(start, amp - start));
  titles.chinese = Utf8ToAnsi(text.substr(zh + 4));
  return 0;
}

std::vector<uint8_t> ProcessBrindlewayCommand(ClientApp& app, const std::vector<uint8_t>& request) {
  if (request.empty()) {
    LogPrint(LOG_ERR, "Null out buffer pointer\n");
    return {};
  }
  return Dispatch(app).Run(request);
}

}  // namespace client
