// A watch thread's road:
//   1. its own copy of the certificate settings read from the user's
//      settings key; the process-wide copy replaced by it, whole
//   2. up to four probes, one second apart; each one that finds the key
//      sets the key-present value to 1
//   3. a probe that misses while connected (status 4) with the value at 1:
//      the value goes to 0 in the same step that tests it (of several
//      watchers after one pull only one acts), then, on the UI thread:
//      disconnect, the login dialog idle, box 108, and Connect (40011)
//      once the box is answered
#include "client/app/usb_key_watch.h"

#include <system_error>

#include "client/app/client_app.h"
#include "client/app/client_constants.h"
#include "client/app/main_window.h"
#include "client/app/top_most_message.h"
#include "platform/sync/clock.h"
#include "platform/ui/win32_ui.h"
#include "support/log.h"
#include "support/registry_helpers.h"
#include "support/text_convert.h"

namespace client {
namespace {

void OnKeyMissing(ClientApp& app) {
  if (app.GetChannelStatus() != kStatusConnected) return;
  if (app.ExchangeUsbKeyValue(0) != 1) return;
  app.Host().Post([&app] {
    app.Link().SendDisconnectCommand();
    app.Hooks().setLoginDialogIdle(app, true);
    ShowTopMostMessage(app, app.Host().String(IDS_USB_KEY_REMOVED), platform::ui::MB_ICONERROR, [&app](int) {
      if (app.Window() != nullptr && app.Window()->Created()) app.Window()->OnCommand(ID_CONNECT);
    });
  });
}

}  // namespace

bool ProbeUsbKey(const CertSettings& settings) {
  if (settings.IsUseDefaultCert == 0) return HasCertBySettings(settings) == 1;
  const std::string provider =
      settings.DefaultCSPName.empty() ? std::string(USB_KEY_PROVIDER_NAME) : Utf8ToAnsi(settings.DefaultCSPName);
  return HasCertForCspName(provider) == 1;
}

int UsbKeyWatchThread(ClientApp& app, const platform::Event& stop) {
  // A copy of its own: another watcher reading the settings meanwhile
  // never sees them half read.
  CertSettings settings;
  ReadCertSettings(settings, PRODUCT_SETTINGS_KEY);
  app.Certificates().Set(settings);

  platform::Clock& clock = app.Host().clock();
  for (int probe = 1; probe <= kUsbKeyProbes; ++probe) {
    if (!ProbeUsbKey(settings)) {
      OnKeyMissing(app);
      break;
    }
    app.SetUsbKeyValue(1);
    if (probe == kUsbKeyProbes || !clock.SleepFor(kUsbKeyProbePauseMs, &stop)) break;
  }
  return 1;
}

void StartUsbKeyWatch(ClientApp& app) {
  const int mode = app.GetLoginMode();
  if (mode != 1 && mode != 2) return;
  try {
    app.Threads().Start([&app](const platform::Event& stop) { UsbKeyWatchThread(app, stop); });
  } catch (const std::system_error& error) {
    LogPrint(LOG_ERR, "UsbKeyWatchThread: no thread [%d]\n", error.code().value());
  }
}

}  // namespace client
