#include "Brindleway/channel/usb_key_pin.h"

#include <string>

#include "platform/process/user_context.h"
#include "support/cert_settings.h"
#include "support/impersonation.h"
#include "support/registry_helpers.h"
#include "support/text_convert.h"

namespace brindleway {

bool UsbKeyPinStep(const conn_info& info) {
  CertSettings settings{};
  const int impersonating = ImpersonateExplorerUser();
  ReadCertSettings(settings, PRODUCT_SETTINGS_KEY);
  if (impersonating != 0) platform::process::RevertToSelf();
  std::string provider;
  if (settings.IsUseDefaultCert == 0) {
    provider = Utf8ToAnsi(settings.CSPName);
  } else {
    provider = settings.DefaultCSPName.empty() ? std::string(USB_KEY_PROVIDER_NAME)
                                               : Utf8ToAnsi(settings.DefaultCSPName);
  }
  return SetUsbKeyPin(provider, info.secret2) != 0;
}

}  // namespace brindleway
