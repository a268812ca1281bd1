#include "support/conn_info_codec.h"

#include "support/wire.h"

namespace {

// conn_info offsets.
constexpr size_t kHost = 0, kPort = 256, kAuthType = 260, kInit = 264, kUser = 268, kSecret1 = 332, kSecret2 = 460;
// change_pwd_info offsets.
constexpr size_t kPwdUser = 0, kPwdOld = 64, kPwdNew = 192;
constexpr size_t kPwdUserSize = 64, kPwdSize = 128;

}  // namespace

bool EncodeConnInfo(const conn_info& info, uint8_t out[conn_info::kWireSize]) {
  bool ok = wire::PutText(out + kHost, conn_info::kHostSize, info.host);
  wire::PutU32(out + kPort, info.port);
  wire::PutU32(out + kAuthType, info.auth_type);
  wire::PutU32(out + kInit, info.init);
  ok = wire::PutText(out + kUser, conn_info::kUserSize, info.user) && ok;
  ok = wire::PutText(out + kSecret1, conn_info::kSecretSize, info.secret1) && ok;
  ok = wire::PutText(out + kSecret2, conn_info::kSecretSize, info.secret2) && ok;
  return ok;
}

bool DecodeConnInfo(const uint8_t* data, size_t length, conn_info& out) {
  if (data == nullptr || length < conn_info::kWireSize) return false;
  conn_info info;
  if (!wire::GetText(data + kHost, conn_info::kHostSize, info.host) ||
      !wire::GetText(data + kUser, conn_info::kUserSize, info.user) ||
      !wire::GetText(data + kSecret1, conn_info::kSecretSize, info.secret1) ||
      !wire::GetText(data + kSecret2, conn_info::kSecretSize, info.secret2))
    return false;
  info.port = wire::GetU32(data + kPort);
  info.auth_type = wire::GetU32(data + kAuthType);
  info.init = wire::GetU32(data + kInit);
  out = std::move(info);
  return true;
}

bool EncodeChangePwdInfo(const change_pwd_info& info, uint8_t out[change_pwd_info::kWireSize]) {
  bool ok = wire::PutText(out + kPwdUser, kPwdUserSize, info.user);
  ok = wire::PutText(out + kPwdOld, kPwdSize, info.old_password) && ok;
  ok = wire::PutText(out + kPwdNew, kPwdSize, info.new_password) && ok;
  return ok;
}

bool DecodeChangePwdInfo(const uint8_t* data, size_t length, change_pwd_info& out) {
  if (data == nullptr || length < change_pwd_info::kWireSize) return false;
  change_pwd_info info;
  if (!wire::GetText(data + kPwdUser, kPwdUserSize, info.user) ||
      !wire::GetText(data + kPwdOld, kPwdSize, info.old_password) ||
      !wire::GetText(data + kPwdNew, kPwdSize, info.new_password))
    return false;
  out = std::move(info);
  return true;
}
