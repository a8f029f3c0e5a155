// An in-process stand-in for SendASPI32Command: records what each request
// looked like when it was sent and completes it as the test scripted, at
// once or later from another thread through the request's event.
#ifndef FLASHTOOL_TESTS_WIN_FAKE_ASPI_H
#define FLASHTOOL_TESTS_WIN_FAKE_ASPI_H

#include <windows.h>

#include <vector>

#include "transport/aspi_srb.h"

struct FakeCompletion {
  BYTE status = SS_COMP;
  BYTE hostAdapterStatus = 0;
  BYTE targetStatus = 0;
  BYTE sense2 = 0, asc = 0, ascq = 0;
  bool later = false;  // pending first, completed through the event
};

struct SentRequest {
  BYTE haId, target, flags, senseLength, cdbLength;
  DWORD bufferLength;
  void *buffer;
  bool hasEvent;
  std::vector<BYTE> cdb;  // all 16 bytes
};

// A bus for discovery: per adapter the HA_Unique byte 3, per target the
// device type (0xFF: no device) and the INQUIRY data an execute returns.
struct FakeTarget {
  BYTE adapter, target, deviceType;
  std::vector<BYTE> inquiry;
};

extern std::vector<FakeCompletion> FakeScript;  // the last one repeats
extern std::vector<SentRequest> FakeSent;       // execute requests only
extern std::vector<BYTE> FakeAdapters;          // HA_Unique byte 3 of each
extern std::vector<FakeTarget> FakeTargets;
extern int FakeDeviceQueries;                   // adapter and type queries

void InstallFakeAspi();  // fills AspiBinding with the fake and clears the record

#endif
