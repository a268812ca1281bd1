// Reports to the client application. The pipe senders replace the log-only
// stand-in once the client application's report pipe exists.
#pragma once

#include "Brindleway/channel_ops.h"

namespace brindleway {

class LoggedGuiReports final : public GuiReports {
 public:
  void NotifyGuiEvent(uint32_t code) override;
  void NotifyGuiPasswordResult(uint32_t value) override;
};

}  // namespace brindleway
