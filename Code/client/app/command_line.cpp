#include "client/app/command_line.h"

#include <cstring>
#include <string_view>
#include <vector>

#include "support/getopt.h"
#include "support/leading_int.h"
#include "support/log.h"
#include "support/text_convert.h"

namespace client {
namespace {

constexpr char kOptions[] = "h:p:u:s:c:dqk:o:w";

bool IsSecretOption(int option) { return option == 's' || option == 'c' || option == 'k' || option == 'o'; }

// The value in the ANSI code page when it fits a field of size bytes (its
// terminator included); else nothing, after a LOG_ERR line.
bool ConvertValue(int option, const char* value, size_t size, std::string& out) {
  ConvertReport report;
  std::string converted = Utf8ToAnsi(value, &report);
  if (!report.ok()) {
    LogPrint(LOG_ERR, "Option -%c refused: its value cannot be held by the code page %s\n", option,
             CodePageName(CodePage::Ansi));
    return false;
  }
  if (converted.size() >= size) {
    LogPrint(LOG_ERR, "Option -%c refused: its value has %d bytes, the field holds %d\n", option,
             static_cast<int>(converted.size()), static_cast<int>(size - 1));
    return false;
  }
  out = std::move(converted);
  return true;
}

}  // namespace

CommandLine ParseCommandLine(int argc, const char* const argv[], const conn_info& conn) {
  CommandLine line;
  line.conn = conn;
  // The parser may reorder nothing, but it gets its own copy of the vector
  // all the same: the argument strings stay where the process has them.
  std::vector<const char*> args(argv, argv + argc);
  args.push_back(nullptr);
  support::GetoptState state;
  for (;;) {
    const int option = support::getopt(state, argc, args.data(), kOptions);
    if (option == -1) break;
    const char* value = state.optarg;
    std::string text;
    switch (option) {
      case 'h':
        if (ConvertValue(option, value, conn_info::kHostSize, text)) line.conn.host = text;
        break;
      case 'p':
        line.conn.port = static_cast<uint32_t>(LeadingInt32(value));
        break;
      case 'u':
        if (ConvertValue(option, value, conn_info::kUserSize, text)) {
          line.user = text;
          line.userGiven = true;
        }
        break;
      case 's':
        if (ConvertValue(option, value, conn_info::kSecretSize, text)) {
          line.conn.secret1 = text;
          line.conn.auth_type = AUTH_TYPE_PASSWORD;
        }
        break;
      case 'c':
        if (ConvertValue(option, value, conn_info::kSecretSize, text)) {
          line.conn.secret1 = text;
          line.conn.auth_type = AUTH_TYPE_COOKIE;
        }
        break;
      case 'k':
        if (ConvertValue(option, value, conn_info::kSecretSize, text)) {
          line.conn.secret2 = text;
          line.conn.init |= CONN_FLAG_USB_KEY;
        }
        break;
      case 'o':
        if (ConvertValue(option, value, conn_info::kSecretSize, text)) {
          line.conn.secret2 = text;
          line.conn.init |= CONN_FLAG_USB_KEY | CONN_FLAG_USB_KEY_ONLY;
          line.conn.auth_type = AUTH_TYPE_USB_KEY_ONLY;
        }
        break;
      case 'd':
        line.webStart = true;
        break;
      case 'q':
        line.noAutoConnect = true;
        break;
      case 'w':
        line.conn.init |= CONN_FLAG_WEB_CONNECT;
        break;
      default:
        break;  // other letters, and an option without its value, are skipped
    }
  }
  return line;
}

void HideSecretArguments(int argc, char* argv[]) {
  support::GetoptState state;
  std::vector<const char*> args(argv, argv + argc);
  args.push_back(nullptr);
  for (;;) {
    const int option = support::getopt(state, argc, args.data(), kOptions);
    if (option == -1) break;
    if (!IsSecretOption(option) || state.optarg == nullptr) continue;
    // optarg points into the process's own strings: argv[i] itself or the
    // rest of "-sSECRET".
    char* value = const_cast<char*>(state.optarg);
    std::memset(value, 0, std::strlen(value));
  }
}

}  // namespace client
