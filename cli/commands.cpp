#include "cli/commands.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <thread>

#include "cli/console.h"
#include "run/record.h"
#include "cli/report.h"
#include "system/system.h"
#include "transport/image_file.h"

int ListCommand(bool json, bool header) {
  std::vector<std::string> left;
  std::vector<ListedDrive> drives = ListDrives(&left);
  for (const std::string &why : left) Warn("left out " + why);
  int listed = 0;
  for (const ListedDrive &drive : drives) {
    if (drive.error.empty()) ++listed;
    else Complain(Named(drive.device) + drive.error);
    if (!drive.note.empty()) Warn(Named(drive.device) + drive.note);
  }
  if (json) {
    Say("%s\n", DrivesJson(drives).c_str());
  } else {
    // A drive that could not be asked still has its line, with what the
    // system knows of it; the drive letters Windows could not reach have nothing to show.
    if (header || OutputIsTerminal()) Say("%s\n", ListHeader().c_str());
    for (const ListedDrive &drive : drives)
      if (drive.identityKnown) Say("%s\n", ListLine(drive).c_str());
  }
  if (drives.empty()) Complain("no CD/DVD drive found");
  else if (listed == 0) Complain("none of the CD/DVD drives above could be asked");
  return Finished(listed > 0 ? EXIT_OK : EXIT_NO_DEVICE);
}

int InfoCommand(const std::string &device, bool json) {
  DriveDescription d = DescribeDrive(device);
  if (json) {
    nlohmann::ordered_json out = {{"device", d.device}};
    out["sg"] = d.genericDevice.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(d.genericDevice);
    out["address"] = d.address.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(d.address);
    out["busy"] = d.busy;
    if (!d.busy && d.error.empty()) {
      nlohmann::ordered_json identity = IdentityJson(d.identity, d.serial);
      identity["type"] = d.identity.deviceType;
      out["identity"] = identity;
    }
    if (!d.error.empty()) out["error"] = d.error;
    Say("%s\n", JsonLine(out, 2).c_str());
  } else if (d.error.empty() || (d.failure != OPEN_NOT_A_DEVICE && d.failure != OPEN_MISSING)) {
    // Nothing to show of a name that reaches no drive: its error alone.
    Say("Device:   %s\n", d.device.c_str());
    if (!d.genericDevice.empty()) Say("SG node:  %s\n", d.genericDevice.c_str());
    if (!d.address.empty()) Say("Address:  %s\n", d.address.c_str());
    if (d.busy) Say("Busy:     a flashtool is flashing it; it was not asked\n");
    if (!d.busy && d.error.empty()) {
      Say("Drive:    %s\n", IdentityText(d.identity).c_str());
      Say("Serial:   %s\n", d.serial.empty() ? "(none given)" : d.serial.c_str());
      Say("Type:     %d (%s)\n", d.identity.deviceType,
          IsCdDvdDrive(d.identity) ? "CD/DVD drive" : "no CD/DVD drive");
    }
  }
  if (!d.error.empty()) {
    Complain(Named(NameDrive(device).shown) + d.error);
    return Finished(OpenFailureExit(d.failure));
  }
  return Finished(d.busy ? EXIT_NO_DEVICE : EXIT_OK);
}

// What can be known of an image without a drive: that its size fits the
// download, that it is the file its maker published (--sha256), and what
// it plainly is when it is no firmware. Whether it is firmware for a given
// drive, only its maker can say.
int CheckCommand(const std::string &path, const std::string &sha256, bool json) {
  LoadedImage image = LoadImageFile(path.c_str());
  std::string problem = ImageProblem(image);
  RunRecord record;
  record.imagePath = path;
  ReadImageFacts(record, image);
  std::string warning = NoFirmwareWords(image);
  FreeImage(image);
  bool published = problem.empty() && !sha256.empty();
  if (problem.empty()) problem = DigestProblem(record, sha256);
  if (json) {
    nlohmann::ordered_json out = ImageJson(record);
    // A file that looks like no firmware is not flashed without --any-image.
    out["flashable"] = problem.empty() && warning.empty();
    if (published) out["sha256_matches"] = problem.empty();
    if (!warning.empty()) out["warning"] = warning;
    if (!problem.empty()) out["problem"] = problem;
    Say("%s\n", JsonLine(out, 2).c_str());
  } else if (problem.empty()) {
    SayImage(record);
    Say("SHA-256: %s%s\n", record.sha256.c_str(), published ? " (as --sha256 says)" : "");
    Say("Its size fits the download command. flashtool cannot tell whether it is\n"
        "firmware for a given drive: flash only what its maker published for that model.\n");
  }
  if (!warning.empty()) Warn(path + " " + warning);
  if (!problem.empty()) {
    Complain(path + ": " + problem);
    return Finished(EXIT_BAD_INPUT);
  }
  return Finished(EXIT_OK);
}
