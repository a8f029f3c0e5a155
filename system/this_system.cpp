#include "system/system.h"

namespace {

class ThisMachine : public FlashSystem {
 public:
  DriveName Name(const std::string &device) override { return NameDrive(device); }
  std::unique_ptr<OpenedDrive> Open(const std::string &device, OpenFailure *failure, std::string *why) override {
    return OpenDriveForFlash(device, failure, why);
  }
  std::vector<SeenDrive> Present() override { return PresentDrives(); }
  bool AskPresent(const SeenDrive &drive, DriveIdentity *identity, std::string *serial) override {
    return AskPresentDrive(drive, identity, serial);
  }
  std::string PortOf(const std::string &key) override { return PortOfDrive(key); }
  std::string KeepAwake(bool awake) override { return KeepSystemAwake(awake); }
  int Requested() override { return InterruptRequested(); }
  void Hold() override { HoldInterrupts(); }
  bool Waiting() override { return InterruptWaiting(); }
  int Held() override { return InterruptHeld(); }
  void Release() override { ReleaseInterrupts(); }
};

}  // namespace

FlashSystem &ThisSystem() {
  static ThisMachine machine;
  return machine;
}
