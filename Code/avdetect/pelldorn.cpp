// The library's only export. Nothing is kept between calls, and no fault
// leaves through the C boundary.
#include "avdetect/pelldorn.h"

#include "avdetect/av_detector.h"

extern "C" int32_t PelldornProc(void) {
  try {
    CAvDetector detector;
    return detector.ExecuteProc();
  } catch (...) {
    return PELLDORN_FAULT;
  }
}
