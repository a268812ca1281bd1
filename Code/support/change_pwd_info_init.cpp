#include "support/change_pwd_info_init.h"

#include <string.h>

namespace {

void Wipe(std::string& s) {
  if (!s.empty()) explicit_bzero(s.data(), s.size());
  s.clear();
}

}  // namespace

void InitChangePwdInfo(change_pwd_info* info) {
  if (!info) return;
  Wipe(info->user);
  Wipe(info->old_password);
  Wipe(info->new_password);
}
