#include "client/app/device_change_source.h"

#include "client/app/client_app.h"
#include "client/app/main_window.h"
#include "support/log.h"

namespace client {

void DeviceChangeSource::Start() {
  ClientApp& app = app_;
  const bool watching = monitor_.Start(kDeviceChangeSubsystem, [&app] {
    app.Host().Post([&app] {
      if (app.Window() != nullptr && app.Window()->Created()) app.Window()->OnDeviceChange();
    });
  });
  if (!watching) LogPrint(LOG_WARNING, "No device change notices: the USB key is not watched\n");
}

}  // namespace client
