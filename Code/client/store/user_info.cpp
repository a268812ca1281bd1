#include "client/store/user_info.h"

namespace client {

void CopyUserInfo(user_info& dst, const user_info& src) { dst = src; }

std::string LoginText(const user_info& record) {
  return record.NAME + "@" + record.HOST + ":" + record.PORT;
}

}  // namespace client
