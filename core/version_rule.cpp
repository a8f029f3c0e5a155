#include "core/version_rule.h"

enum { PLATFORM_WIN32S = 0, PLATFORM_WIN32_WINDOWS = 1, PLATFORM_WIN32_NT = 2 };

VersionOutcome ApplyVersionRule(uint32_t platformId, uint32_t majorVersion,
                                uint32_t minorVersion) {
  switch (platformId) {
    case PLATFORM_WIN32S:
      return RefuseWin32s;
    case PLATFORM_WIN32_WINDOWS:
      // The minor version alone tells 95 (4.0) from 98 (4.10) and ME (4.90).
      return minorVersion >= 10 ? RunAspi : RefuseUnsupported;
    case PLATFORM_WIN32_NT:
      // NT 3.x and 4.0 are not served; Windows 2000 is 5.0.
      return majorVersion >= 5 ? RunPassThrough : RefuseUnsupported;
    default:
      return RefuseUnsupported;
  }
}

void PlaceWindow(int32_t screenWidth, int32_t screenHeight, int32_t width, int32_t height,
                 int32_t *x, int32_t *y) {
  // Differences in 64 bits so no size can overflow; the quotients fit 32 bits
  // again. Division truncates toward zero, so a window a little larger than
  // the screen sits at 0 or -1 rather than one pixel further out.
  *x = (int32_t)(((int64_t)screenWidth - width) / 2);
  *y = (int32_t)(((int64_t)screenHeight - height) / 3);
}
