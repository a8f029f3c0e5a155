// CD/DVD drives found on the ASPI bus (Windows 98 and ME): every host
// adapter, every target, logical unit 0.
#ifndef FLASHTOOL_DISCOVERY_ASPI_WALK_H
#define FLASHTOOL_DISCOVERY_ASPI_WALK_H

#include <windows.h>

#include "core/labels.h"
#include "transport/aspi.h"

struct AspiDevice {
  BYTE hostAdapterId;
  BYTE targetId;
  uint8_t inquiry[ASPI_INQUIRY_LENGTH];
  char text[ASPI_ENTRY_TEXT_SIZE];  // the entry text of the device list
};

// Hears of each drive as the walk confirms it, and of each INQUIRY that
// failed for good, in bus order.
class AspiWalkObserver : public AspiFailureReporter {
 public:
  virtual void Found(const AspiDevice &device) = 0;
};

// Answers the number of drives found.
int WalkAspiBus(const AspiLayer &layer, AspiWalkObserver &observer);

#endif
