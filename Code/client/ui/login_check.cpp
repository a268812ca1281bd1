#include "client/ui/login_check.h"

#include <charconv>
#include <optional>

#include "client/cert/usb_key_user_name.h"
#include "client/ui/login_templates.h"
#include "support/cert_settings.h"
#include "support/registry_helpers.h"
#include "support/text_convert.h"

namespace client {
namespace {

// The text in the ANSI code page when it converts whole and fits a field
// of size bytes with its terminator.
std::optional<std::string> Fitting(const std::string& utf8, size_t size) {
  ConvertReport report;
  std::string ansi = Utf8ToAnsi(utf8, &report);
  if (!report.ok() || ansi.size() > size - 1) return std::nullopt;
  return ansi;
}

std::optional<uint32_t> Port(const std::string& text) {
  uint32_t port = 0;
  const char* end = text.data() + text.size();
  const auto [at, error] = std::from_chars(text.data(), end, port);
  if (error != std::errc() || at != end || port == 0 || port > 65535) return std::nullopt;
  return port;
}

LoginCheck Failed(uint32_t message, int focus) {
  LoginCheck check;
  check.message = message;
  check.focus = focus;
  return check;
}

// The USB key's provider as the stored choice names it.
std::string ProviderName(const CertSettings& settings) {
  if (settings.IsUseDefaultCert != 0) {
    return settings.DefaultCSPName.empty() ? std::string(USB_KEY_PROVIDER_NAME) : settings.DefaultCSPName;
  }
  return settings.CSPName;
}

// The key's certificate and the PIN: 0, or the message.
uint32_t CheckUsbKey(const std::string& ansiPin) {
  CertSettings settings;
  ReadCertSettings(settings, PRODUCT_SETTINGS_KEY);
  const std::string provider = Utf8ToAnsi(ProviderName(settings));
  const platform::crypto::CertContextPtr cert =
      settings.IsUseDefaultCert != 0 ? FindCertByCspName(provider) : FindCertBySettings(settings);
  if (!cert) return IDS_NO_USB_KEY;
  if (SetUsbKeyPin(provider, ansiPin) == 0) return IDS_BAD_PIN;
  return 0;
}

}  // namespace

LoginCheck CheckLogin(const LoginFields& fields, int mode) {
  const bool usbKeyOnly = mode == 2;
  const bool usbKey = mode == 1 || mode == 2;

  const std::optional<std::string> host = Fitting(fields.server, conn_info::kHostSize);
  if (fields.server.empty() || !host) return Failed(IDS_BAD_SERVER, IDC_LOGIN_SERVER);
  const std::optional<uint32_t> port = Port(fields.port);
  if (!port) return Failed(IDS_BAD_PORT, IDC_LOGIN_PORT);

  std::string user = fields.user;
  std::string password = fields.password;
  if (usbKeyOnly) {
    if (GetUsbKeyUserName(user) != 0) return Failed(IDS_NO_USB_KEY, 0);
    password = kUsbKeyOnlyPassword;
  }
  const std::optional<std::string> ansiUser = Fitting(user, conn_info::kUserSize);
  if (user.empty() || !ansiUser) {
    return usbKeyOnly ? Failed(IDS_NO_USB_KEY, 0) : Failed(IDS_NO_USER, IDC_LOGIN_USER);
  }
  const std::optional<std::string> ansiPassword = Fitting(password, conn_info::kSecretSize);
  if (password.empty() || !ansiPassword) return Failed(IDS_NO_PASSWORD, IDC_LOGIN_PASSWORD);

  LoginCheck check;
  if (usbKey) {
    const std::optional<std::string> pin = Fitting(fields.pin, conn_info::kSecretSize);
    if (fields.pin.empty() || !pin) return Failed(IDS_NO_PIN, IDC_LOGIN_PIN);
    if (const uint32_t message = CheckUsbKey(*pin)) return Failed(message, IDC_LOGIN_PIN);
    check.conn.secret2 = *pin;
    check.conn.init |= CONN_FLAG_USB_KEY;
  }
  check.conn.port = *port;
  check.conn.host = *host;
  check.conn.user = *ansiUser;
  check.conn.secret1 = *ansiPassword;
  check.conn.auth_type = usbKeyOnly ? AUTH_TYPE_USB_KEY_ONLY : AUTH_TYPE_PASSWORD;
  check.user = std::move(user);
  check.password = std::move(password);
  return check;
}

}  // namespace client
