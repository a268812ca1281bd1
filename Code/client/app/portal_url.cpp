#include "client/app/portal_url.h"

#include <strings.h>

#include <string>

#include "client/app/client_app.h"
#include "client/app/report_state.h"
#include "platform/shell/open_url.h"
#include "support/log.h"
#include "support/text_convert.h"

namespace client {
namespace {

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && ::strncasecmp(text.data(), prefix.data(), prefix.size()) == 0;
}

}  // namespace

bool IsOpenableUrl(std::string_view url) {
  size_t schemeEnd = 0;
  if (StartsWithNoCase(url, "http://")) {
    schemeEnd = 7;
  } else if (StartsWithNoCase(url, "https://")) {
    schemeEnd = 8;
  } else {
    return false;
  }
  if (url.size() == schemeEnd) return false;
  for (const char c : url) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte == 0x7F) return false;
  }
  return true;
}

void OpenPortalUrl(ClientApp& app) { OpenGatewayUrl(app.Reports().PortalUrl()); }

void OpenGatewayUrl(const std::string& ansiUrl) {
  ConvertReport report;
  const std::string url = AnsiToUtf8(ansiUrl, &report);
  // The text itself stays out of the log: it is the gateway's and may
  // carry a session.
  if (!report.ok() || !IsOpenableUrl(url)) {
    LogPrint(LOG_ERR, "Portal URL is not a web address, not opened\n");
    return;
  }
  if (const uint32_t error = platform::shell::OpenUrl(url)) {
    LogPrint(LOG_ERR, "Open portal URL failed [%u]\n", error);
  }
}

}  // namespace client
