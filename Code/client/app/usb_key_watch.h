// The USB-key watch: a user logged in with the key (login mode 1 or 2) is
// disconnected once the key is pulled. Every device change that reaches
// the main window in those modes starts one watch thread, which probes for
// the key's certificate up to four times, a second apart, and ends the
// connection when the key is gone while connected.
//
// Threads: StartUsbKeyWatch on the UI thread; the watch runs on a thread of
// ClientApp::Threads() (joined at Exit), sleeps on the UI host's clock and
// ends at once on its stop event. What the UI shows is posted; the watch
// never waits for the UI thread.
#pragma once

#include <cstdint>

#include "platform/sync/event.h"
#include "support/cert_settings.h"

namespace client {

class ClientApp;

inline constexpr int kUsbKeyProbes = 4;
inline constexpr int64_t kUsbKeyProbePauseMs = 1000;
// "The specific USB key has been removed or can not be used"
inline constexpr uint32_t IDS_USB_KEY_REMOVED = 108;

// WM_DEVICECHANGE: one watch thread when the login mode is 1 or 2.
void StartUsbKeyWatch(ClientApp& app);

// UsbKeyWatchThread's body; exit code 1.
int UsbKeyWatchThread(ClientApp& app, const platform::Event& stop);

// One probe through the certificate store: by fingerprint when
// IsUseDefaultCert is 0, else by the key's provider (DefaultCSPName, or
// the USB-key provider when that is empty). True when the key is there.
bool ProbeUsbKey(const CertSettings& settings);

}  // namespace client
