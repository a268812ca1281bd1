#include "Brindleway/gui_reports.h"

#include "support/log.h"

namespace brindleway {

void LoggedGuiReports::NotifyGuiEvent(uint32_t code) {
  LogPrint(LOG_DEBUG, "Report event %u to the client application\n", code);
}

void LoggedGuiReports::NotifyGuiPasswordResult(uint32_t value) {
  LogPrint(LOG_DEBUG, "Report password result %u to the client application\n", value);
}

}  // namespace brindleway
