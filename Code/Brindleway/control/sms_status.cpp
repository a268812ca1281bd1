#include "Brindleway/control/sms_status.h"

namespace brindleway {

int MapSmsStatus(int32_t status) {
  switch (status) {
    case -16:
      return 1028;
    case -17:
      return 1024;
    case -18:
      return 1027;
    case -19:
      return 1026;
    case -20:
      return 1025;
    default:
      return 1027;
  }
}

}  // namespace brindleway
