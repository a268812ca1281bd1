#include "client/ui/cert_choice.h"

#include <fmt/printf.h>

#include "client/cert/write_cert_settings.h"
#include "client/ui/select_certificate_dialog.h"
#include "platform/ui/win32_ui.h"
#include "support/log.h"
#include "support/registry_helpers.h"

using namespace platform::ui;

bool ChooseClientCertificate(UiHost& host, Dialog* owner, ClientCertSettings& settings,
                             std::function<void(int result)> onDone) {
  std::shared_ptr<Dialog*> ownerToken = owner ? owner->token() : nullptr;
  return SelectCertificate(host, owner, [&host, &settings, ownerToken, onDone](int result, const CertSettings& chosen) {
    if (result == 0) {
      settings.Set(chosen);
      result = WriteCertSettings(settings.Get(), PRODUCT_SETTINGS_KEY);
      if (result != 0) {
        LogPrint(LOG_ERR, "WriteCertSettings failed [%d]\n", result);
        const BoxText text(fmt::sprintf(host.LoadString(IDS_CERT_SETTINGS_NOT_SAVED), result),
                           IDS_CERT_SETTINGS_NOT_SAVED);
        host.MessageBox(ownerToken ? *ownerToken : nullptr, text,
                        host.LoadString(StringEntryId(IDD_SELECT_CERTIFICATE, 0)), MB_OK | MB_ICONERROR, [](int) {});
      }
    }
    if (onDone) onDone(result);
  });
}
