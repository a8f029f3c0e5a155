// Start-up arithmetic that needs no Windows: the version rule and where the
// main window goes. Portable.
#ifndef FLASHTOOL_CORE_VERSION_RULE_H
#define FLASHTOOL_CORE_VERSION_RULE_H

#include <cstdint>

enum VersionOutcome {
  RunAspi,          // Windows 98 and ME
  RunPassThrough,   // Windows 2000 and later
  RefuseWin32s,     // string 50
  RefuseUnsupported // string 56
};

VersionOutcome ApplyVersionRule(uint32_t platformId, uint32_t majorVersion,
                                uint32_t minorVersion);

// Centred across, one third down the free height; truncates toward zero.
void PlaceWindow(int32_t screenWidth, int32_t screenHeight, int32_t width,
                 int32_t height, int32_t *x, int32_t *y);

#endif
