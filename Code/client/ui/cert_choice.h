// The certificate choice as the login and options dialogs make it: Select
// Certificate, then the new choice becomes the process's and is stored in
// the user's settings key. A store that fails is shown to the user, never
// dropped in silence.
#pragma once

#include <cstdint>
#include <functional>

#include "client/cert/client_cert_settings.h"
#include "platform/ui/dialog.h"

// Text of the box after a failed store ("%d": WriteCertSettings's code).
inline constexpr uint32_t IDS_CERT_SETTINGS_NOT_SAVED = 129000100;

// Runs SelectCertificate modal to owner. After OK, settings takes the
// choice and WriteCertSettings stores it under PRODUCT_SETTINGS_KEY; when
// that fails an error box (owned by owner while it lives) says so.
// onDone, when given, gets 0, -2 (Cancel) or the write's negative code.
// False when the host opens nothing.
bool ChooseClientCertificate(platform::ui::UiHost& host, platform::ui::Dialog* owner, ClientCertSettings& settings,
                             std::function<void(int result)> onDone = {});
