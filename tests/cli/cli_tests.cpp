// The real flashtool on Linux, its drives served from the virtual drive by
// the preload library: what it prints, how it exits, and what the drives
// received, read from their journal.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "vdrive/vdrive.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Output {
  int code = -1;  // the exit code, or 128 + the signal that ended it
  std::string out, err;
};

int CodeOf(int status) {
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

vdrive::DriveConfig Sr(int n) {
  vdrive::DriveConfig d;
  d.name = "/dev/sr" + std::to_string(n);
  return d;
}

class Flashtool : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/flashtool-cli-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder = pattern;
    config = folder + "/drives.cfg";
    journal = folder + "/journal";
    root = folder + "/root";
  }
  void TearDown() override { system(("rm -rf " + folder).c_str()); }

  // The drives, and the system's files about them as Linux lays them out:
  // srN (or the tape stN) at SCSI address N:0:0:0 with media polling every
  // 2 s and the kernel's copy of its identity, an alias /dev/sgM at the
  // same address, a drive's moves_to node at its own, which the kernel
  // lists among its SCSI devices only once the drive moved there.
  void Drives(const std::vector<vdrive::DriveConfig> &drives) {
    Shell("rm -rf " + root + "/sys && mkdir -p " + root + "/sys/class/scsi_device");
    vdrive::Config c;
    c.drives = drives;
    std::ofstream(config) << vdrive::FormatConfig(c);
    std::string mounts;
    for (const vdrive::DriveConfig &d : drives) {
      int n = atoi(d.name.c_str() + 7);
      std::string address = std::to_string(n) + ":0:0:0";
      Shell("ln -sfn ../../devices/" + address + "/scsi_device/" + address + " " + root +
            "/sys/class/scsi_device/" + address);
      Node(d.name, address);
      KernelCopy(d, address);
      if (!d.alias.empty()) Node(d.alias, address);
      if (!d.movesTo.empty()) {
        std::string moved = std::to_string(atoi(d.movesTo.c_str() + 7)) + ":0:0:0";
        Node(d.movesTo, moved);
        KernelCopy(d, moved);
      }
      if (!d.mounted.empty()) mounts += "36 25 11:" + std::to_string(n) + " / " + d.mounted + " ro - iso9660 " + d.name + " ro\n";
    }
    Shell("mkdir -p " + root + "/run " + root + "/proc/self");
    std::ofstream(root + "/proc/self/mountinfo") << mounts;
  }
  // What the kernel read of the drive when it appeared, and its entry in
  // the class of SCSI devices.
  void KernelCopy(const vdrive::DriveConfig &d, const std::string &address) {
    std::string folder = root + "/sys/devices/" + address + "/";
    Shell("mkdir -p " + folder + "scsi_device/" + address + " && ln -sfn ../../../" + address + " " + folder +
          "scsi_device/" + address + "/device");
    std::ofstream(folder + "type") << d.type << "\n";
    std::ofstream(folder + "vendor") << d.vendor << "\n";
    std::ofstream(folder + "model") << d.product << "\n";
    std::ofstream(folder + "rev") << d.revision << "\n";
  }
  void Node(const std::string &device, const std::string &address) {
    std::string name = device.substr(5), number = device.substr(7);
    bool generic = name.compare(0, 2, "sg") == 0, tape = name.compare(0, 2, "st") == 0;
    std::string at = generic ? "/sys/class/scsi_generic/" + name
                   : tape ? "/sys/class/scsi_tape/" + name : "/sys/block/" + name;
    std::string driver = generic ? "/scsi_generic/" : tape ? "/scsi_tape/" : "/block/";
    Shell("mkdir -p " + root + "/sys/devices/" + address + driver + name + " " + root + at + " " + root + "/sys/class/block " +
          root + "/sys/dev/block " + root + "/sys/dev/char && ln -sfn ../../" + (generic || tape ? "../" : "") +
          "devices/" + address + " " + root + at + "/device");
    if (generic || tape) {
      std::string family = generic ? "scsi_generic/" : "scsi_tape/";
      Shell("ln -sfn ../../class/" + family + name + " " + root + "/sys/dev/char/" + (generic ? "21:" : "9:") + number);
    } else {
      Shell("ln -sfn ../../block/" + name + " " + root + "/sys/class/block/" + name + " && ln -sfn ../../block/" +
            name + " " + root + "/sys/dev/block/11:" + number);
      std::ofstream(root + at + "/events_poll_msecs") << "2000\n";
    }
  }
  std::string Polling(const std::string &sr) {
    std::ifstream in(root + "/sys/block/" + sr + "/events_poll_msecs");
    std::string value;
    std::getline(in, value);
    return value;
  }
  static void Shell(const std::string &command) { ASSERT_EQ(system(command.c_str()), 0) << command; }
  std::string Image(const std::string &name, size_t size) {
    std::string path = folder + "/" + name;
    std::ofstream file(path, std::ios::binary);
    for (size_t i = 0; i < size; ++i) file.put((char)(i * 7 + 1));
    return path;
  }
  unsigned Checksum(size_t size) {
    unsigned sum = 0;
    for (size_t i = 0; i < size; ++i) sum += (uint8_t)(i * 7 + 1);
    return sum & 0xFFFF;
  }

  // The child's side: environment and program.
  [[noreturn]] void Exec(const std::vector<std::string> &args) {
    setenv("LD_PRELOAD", PRELOAD_LIBRARY, 1);
    setenv("FLASHTOOL_VDRIVE_CONFIG", config.c_str(), 1);
    setenv("FLASHTOOL_VDRIVE_JOURNAL", journal.c_str(), 1);
    setenv("FLASHTOOL_PRELOAD_DENIED", denied.c_str(), 1);
    setenv("FLASHTOOL_PRELOAD_ROOT", root.c_str(), 1);
    setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + folder + "/no-bus").c_str(), 1);
    std::vector<char *> argv{(char *)FLASHTOOL_BINARY};
    for (const std::string &a : args) argv.push_back((char *)a.c_str());
    argv.push_back(nullptr);
    execv(FLASHTOOL_BINARY, argv.data());
    _exit(127);
  }

  // Starts flashtool with standard input from /dev/null and its output in
  // pipes; `closedOutput`: nobody reads standard output (| head -n 0).
  pid_t Start(const std::vector<std::string> &args, int *out, int *err, bool closedOutput = false) {
    int o[2], e[2];
    if (pipe(o) != 0 || pipe(e) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
      int none = open("/dev/null", O_RDONLY);
      dup2(none, 0);
      dup2(o[1], 1);
      dup2(e[1], 2);
      close(o[0]);
      close(e[0]);
      Exec(args);
    }
    close(o[1]);
    close(e[1]);
    if (closedOutput) {
      close(o[0]);
      o[0] = open("/dev/null", O_RDONLY);
    }
    *out = o[0];
    *err = e[0];
    return pid;
  }

  // Reads both pipes to their end and reaps the child; kills it after `seconds`.
  Output Finish(pid_t pid, int out, int err, int seconds = 60) {
    Output result;
    Clock::time_point deadline = Clock::now() + std::chrono::seconds(seconds);
    struct pollfd fds[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
    std::string *into[2] = {&result.out, &result.err};
    int open = 2;
    while (open > 0 && Clock::now() < deadline) {
      if (poll(fds, 2, 100) <= 0) continue;
      for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || fds[i].revents == 0) continue;
        char chunk[4096];
        ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
        if (n > 0) {
          into[i]->append(chunk, n);
        } else {
          close(fds[i].fd);
          fds[i].fd = -1;
          --open;
        }
      }
    }
    if (open > 0) {
      kill(pid, SIGKILL);
      ADD_FAILURE() << "flashtool did not end within " << seconds << " s";
    }
    int status = 0;
    waitpid(pid, &status, 0);
    result.code = CodeOf(status);
    return result;
  }

  Output Run(const std::vector<std::string> &args, bool closedOutput = false) {
    int out = -1, err = -1;
    pid_t pid = Start(args, &out, &err, closedOutput);
    return Finish(pid, out, err);
  }

  std::vector<std::string> Journal(const std::string &kind) {
    std::ifstream in(journal);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
      if (line.compare(0, kind.size() + 1, kind + " ") == 0) lines.push_back(line);
    return lines;
  }
  size_t Downloads() {
    size_t n = 0;
    for (const std::string &line : Journal("SGIO")) n += line.find(" cdb=55 ") != std::string::npos;
    return n;
  }
  bool WaitJournal(const std::string &kind, const std::string &part, int seconds = 20) {
    Clock::time_point deadline = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < deadline) {
      for (const std::string &line : Journal(kind))
        if (line.find(part) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  std::string folder, config, journal, denied, root;
};

// The program wraps its lines between words at the terminal's width (80
// columns elsewhere), the rest of a line indented: read as one line again.
std::string Flat(const std::string &text) {
  std::string flat;
  for (size_t at = 0; at < text.size(); ++at) {
    size_t blanks = text.find_first_not_of(' ', at + 1);
    if (text[at] == '\n' && blanks != std::string::npos && blanks > at + 1) {
      flat += ' ';
      at = blanks - 1;
    } else {
      flat += text[at];
    }
  }
  return flat;
}

bool Has(const std::string &text, const std::string &part) {
  return Flat(text).find(Flat(part)) != std::string::npos;
}

// What the kernel's tables hold, each drive asked once, through its sg
// node where it has one, all at once: a drive that does not answer costs
// the listing its deadline, one a flash holds is not asked, one with only
// its sg node is there too.
TEST_F(Flashtool, ListsTheCdDrivesAsTextAndJson) {
  vdrive::DriveConfig cd = Sr(0);
  cd.alias = "/dev/sg1";
  vdrive::DriveConfig disk = Sr(1);  // the kernel took it for a CD drive; it answers as a disk
  disk.type = 0;
  disk.alias = "/dev/sg11";
  vdrive::DriveConfig denied2 = Sr(2);
  denied2.alias = "/dev/sg12";
  vdrive::DriveConfig dvd = Sr(3);
  dvd.alias = "/dev/sg13";
  dvd.vendor = "AB\x1b[2J";  // a terminal would clear its screen
  dvd.product = "DVD-RW 5678";
  dvd.revision = "B2";
  vdrive::DriveConfig held = Sr(4);
  held.alias = "/dev/sg14";
  vdrive::DriveConfig silent = Sr(5);  // never answers its INQUIRY
  silent.alias = "/dev/sg15";
  silent.failOpcode = 0x12;
  silent.failAt = 0;
  silent.failCount = 0;
  silent.hang = true;
  vdrive::DriveConfig unbound = Sr(6);  // its sr driver unbound: only its sg node
  unbound.name = "/dev/sg6";
  // sg not loaded: listed as the kernel saw it, and never opened.
  Drives({cd, disk, denied2, dvd, held, silent, unbound, Sr(7)});
  std::ofstream(root + "/sys/devices/1:0:0:0/type") << "5\n";
  denied = "/dev/sg12";
  // A flash holds /dev/sr4 (its lock is the drive's own node, which the
  // preload library backs with a file): list must not even ask it, nor put
  // back the polling that flash keeps off. A drive that answers gets back
  // what a killed flash left off.
  int lock = open((config + ".sg14.dev").c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_EQ(flock(lock, LOCK_EX), 0);
  std::string kept = root + "/run/flashtool";
  Shell("mkdir -p -m 0700 " + kept + " && echo 'sr0 2000' > " + kept + "/polling-0:0:0:0 && echo 'sr4 2000' > " +
        kept + "/polling-4:0:0:0");
  std::ofstream(root + "/sys/block/sr0/events_poll_msecs") << "0\n";
  std::ofstream(root + "/sys/block/sr4/events_poll_msecs") << "0\n";

  Clock::time_point started = Clock::now();
  Output text = Run({"list", "--header"});
  EXPECT_LT(Clock::now() - started, std::chrono::seconds(4)) << "one deadline for every drive";
  EXPECT_EQ(text.code, 0);
  EXPECT_EQ(text.out,
            "DEVICE      SG          ADDRESS    BUS    VENDOR    PRODUCT           REVISION\n"
            "/dev/sr0    /dev/sg1    0:0:0:0    scsi   QUOR      VIRTUAL CD-RW     1.00\n"
            "/dev/sr2    /dev/sg12   2:0:0:0    scsi   QUOR      VIRTUAL CD-RW     -\n"
            "/dev/sr3    /dev/sg13   3:0:0:0    scsi   AB?[2J    DVD-RW 5678       B2\n"
            "/dev/sr4    /dev/sg14   4:0:0:0    scsi   QUOR      VIRTUAL CD-RW     -\n"
            "/dev/sr5    /dev/sg15   5:0:0:0    scsi   QUOR      VIRTUAL CD-RW     -\n"
            "/dev/sg6    /dev/sg6    6:0:0:0    scsi   QUOR      VIRTUAL CD-RW     1.00\n"
            "/dev/sr7    -           7:0:0:0    scsi   QUOR      VIRTUAL CD-RW     -\n");
  EXPECT_TRUE(Has(text.err, "left out /dev/sr1: the kernel took it for a CD/DVD drive, but it answers as device type 0"))
      << text.err;
  EXPECT_TRUE(Has(text.err, "/dev/sr7: not asked: it has no sg node")) << text.err;
  EXPECT_EQ(Polling("sr0"), "2000") << "it answered: what a killed flash left off is back";
  EXPECT_EQ(Polling("sr4"), "0") << "another flash holds it";
  EXPECT_TRUE(Has(text.err, "/dev/sr2: Permission denied (root or membership of the group")) << text.err;
  EXPECT_TRUE(Has(text.err, "/dev/sr4: busy: another flashtool is flashing this drive")) << text.err;
  EXPECT_TRUE(Has(text.err, "/dev/sr5: does not answer")) << text.err;
  std::vector<std::string> asked = Journal("SGIO");
  EXPECT_EQ(asked.size(), 5u) << "one INQUIRY for each drive that is not held, opens and has an sg node";
  bool throughSg = false;
  for (const std::string &line : asked) {
    EXPECT_TRUE(Has(line, "cdb=12 00 00 00 64 00") && Has(line, "timeout=20000")) << line;
    EXPECT_FALSE(Has(line, "SGIO /dev/sr7 ")) << line;
    throughSg |= Has(line, "SGIO /dev/sr0 ") && Has(line, "via=write");
  }
  EXPECT_TRUE(throughSg) << "/dev/sr0 asked through its sg node";

  Output json = Run({"list", "--json"});
  EXPECT_EQ(json.code, 0);
  nlohmann::json parsed = nlohmann::json::parse(json.out);
  ASSERT_EQ(parsed.size(), 7u);
  EXPECT_EQ(parsed[0], nlohmann::json({{"device", "/dev/sr0"}, {"sg", "/dev/sg1"}, {"address", "0:0:0:0"},
                                       {"bus", "scsi"}, {"vendor", "QUOR"}, {"product", "VIRTUAL CD-RW"},
                                       {"revision", "1.00"}}));
  EXPECT_TRUE(Has(parsed[1].value("error", ""), "Permission denied")) << parsed[1];
  EXPECT_EQ(parsed[3]["error"], "busy: another flashtool is flashing this drive");
  EXPECT_TRUE(parsed[3]["revision"].is_null()) << "the kernel's copy is stale after a flash";
  for (const std::string &line : Journal("SGIO")) EXPECT_FALSE(Has(line, "/dev/sr4")) << line;

  Output info = Run({"info", "/dev/sg1", "--json"});
  EXPECT_EQ(info.code, 0) << info.err;
  nlohmann::json described = nlohmann::json::parse(info.out);
  EXPECT_EQ(described["device"], "/dev/sr0");
  EXPECT_EQ(described["sg"], "/dev/sg1");
  EXPECT_EQ(described["address"], "0:0:0:0");
  EXPECT_EQ(described["identity"]["product"], "VIRTUAL CD-RW");
  Output busy = Run({"info", "/dev/sr4"});
  EXPECT_EQ(busy.code, 4);
  EXPECT_TRUE(Has(busy.out, "Busy:     a flashtool is flashing it")) << busy.out;
  Output null = Run({"info", "/dev/null"});
  EXPECT_EQ(null.code, 2) << "nothing is sent to a node that is no drive";
  EXPECT_TRUE(Has(null.err, "/dev/null: not a drive")) << null.err;

  for (const std::string &line : Journal("OPEN")) EXPECT_FALSE(Has(line, "OPEN /dev/sr7 ")) << line;
  Drives({cd, dvd});
  denied = "/dev/sg1,/dev/sg13";
  Output none = Run({"list"});
  EXPECT_EQ(none.code, 4) << "no drive could be listed";
  EXPECT_TRUE(Has(none.err, "none of the CD/DVD drives above could be asked")) << none.err;
  close(lock);
}

// The whole road through an sg node: a unit attention left by a reset
// cleared before block 00, the block node claimed, every block written
// once with every interrupt held, and a drive that restarts under another
// node found again by what it is. Nobody reads standard output.
TEST_F(Flashtool, FlashesAnImageAndShowsTheNewRevision) {
  vdrive::DriveConfig cd = Sr(0);
  cd.alias = "/dev/sg1";
  cd.serial = "QV0001";
  cd.attention = 1;
  cd.movesTo = "/dev/sr2";
  Drives({cd});
  std::string image = Image("firmware.bin", 40961);
  Output run = Run({"flash", "/dev/sg1", image, "--yes"});
  EXPECT_EQ(run.code, 0) << run.err;
  char sum[8];
  snprintf(sum, sizeof sum, "%04X", Checksum(40961));
  EXPECT_TRUE(Has(run.out, "Drive:  /dev/sg1  QUOR VIRTUAL CD-RW, firmware 1.00\n"
                           "Image:  " + image + "  40961 bytes, 2 blocks, checksum " + sum + "\n"
                           "Flashed: the drive took all 2 blocks.\n"
                           "Waiting 5 s before asking the drive, then up to 120 s for it to answer...\n"
                           "The drive came back as /dev/sr2.\n"
                           "Drive:  /dev/sr2  QUOR VIRTUAL CD-RW, firmware 2.00\n"
                           "flashed /dev/sg1: firmware 1.00 -> 2.00 in "))
      << run.out;
  EXPECT_TRUE(Has(run.out, " s, back as /dev/sr2\n")) << "the verdict last: " << run.out;
  EXPECT_TRUE(Has(run.err, "Flashing. Do not turn off the power or unplug the drive.\n"
                           "Written 1 of 2 blocks (50%), 40960 of 40961 bytes, ")) << run.err;
  EXPECT_TRUE(Has(run.err, "\nWritten 2 of 2 blocks (100%), 40961 of 40961 bytes, ")) << run.err;
  EXPECT_TRUE(Has(run.err, "sleep and shutdown are not held off during the flash: no system bus")) << run.err;

  std::vector<std::string> sent = Journal("SGIO");
  ASSERT_GE(sent.size(), 4u);
  EXPECT_TRUE(Has(sent[0], "dir=in cdblen=6 len=100 timeout=20000") && Has(sent[0], "cdb=12 00 00 00 64 00"))
      << sent[0];
  std::vector<std::string> blocks = Journal("BLOCK");
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_TRUE(Has(blocks[0], "idx=00") && Has(blocks[0], " ok"));
  EXPECT_EQ(blocks[1], "BLOCK /dev/sr0 idx=FF sum=" + std::string(sum) + " ok");
  bool lastCommand = false;
  for (const std::string &line : sent) {
    if (!Has(line, "cdb=55 ")) continue;
    EXPECT_TRUE(Has(line, "via=write held=1,2,3,15,20,21,22 ")) << "sent once, interrupts held: " << line;
    lastCommand |= Has(line, "dir=out cdblen=12 len=40960 timeout=300000") &&
                   Has(line, "cdb=55 00 2B 41 50 49 FF A0 00 " + std::string(sum, 2) + " " +
                                 std::string(sum + 2, 2) + " 00");
  }
  EXPECT_TRUE(lastCommand) << "the last block's download command";
  // Past a command's time-out the kernel resets the drive, its bus or its
  // host: none gets less than the kernel's own scan allows.
  for (const std::string &line : sent) {
    size_t at = line.find(" timeout=");
    EXPECT_TRUE(at != std::string::npos && atol(line.c_str() + at + 9) >= 20000) << line;
  }
  bool claimed = false;
  for (const std::string &line : Journal("OPEN")) claimed |= Has(line, "OPEN /dev/sr0 flags=") && (strtol(line.c_str() + 20, nullptr, 16) & O_EXCL) != 0;
  EXPECT_TRUE(claimed) << "the drive's block node opened with O_EXCL";

  // A reader that goes away (| head -n 1) costs no block. The drive is
  // left alone for the quiet period after its last block, then asked
  // with a time-out that keeps the kernel from resetting it, while it is
  // still becoming ready.
  vdrive::DriveConfig restarting = Sr(0);
  restarting.failOpcode = 0x00;
  restarting.failAt = 1;  // the TEST UNIT READY before block 00 goes through
  restarting.failCount = 2;
  restarting.checkCondition = {0x70, 0, 0x02, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x04, 0x01};
  Drives({restarting});
  size_t before = Journal("SGIO").size();
  Clock::time_point started = Clock::now();
  Output unread = Run({"flash", "/dev/sr0", image, "--yes", "--ready-timeout", "20"}, true);
  EXPECT_EQ(unread.code, 0) << unread.err;
  EXPECT_GE(Clock::now() - started, std::chrono::seconds(7)) << "5 s of quiet, then a question a second";
  EXPECT_EQ(Journal("FLASHED").size(), 2u);
  size_t asked = 0;
  std::vector<std::string> since = Journal("SGIO");
  for (size_t i = before; i < since.size(); ++i) asked += Has(since[i], "cdb=00 ") && Has(since[i], "timeout=120000");
  EXPECT_EQ(asked, 3u) << "TEST UNIT READY after the flash, until the drive is ready";
  EXPECT_TRUE(Has(unread.err, "standard output was lost (Broken pipe); it last said: flashed /dev/sr0: firmware 1.00 -> 2.00 in "))
      << unread.err;

  // A dry run sends no download; --json gives a script the run's record;
  // --verbose shows each command as it goes and as it ends.
  Output dry = Run({"flash", "/dev/sr0", image, "--dry-run", "--json", "--verbose"});
  EXPECT_TRUE(Has(dry.err, "> INQUIRY: cdb 12 00 00 00 64 00  in 100 bytes, time-out ")) << dry.err;
  EXPECT_TRUE(Has(dry.err, "< status 00h, host 00h, driver 00h, residual ")) << dry.err;
  EXPECT_EQ(dry.code, 0) << dry.err;
  EXPECT_EQ(Journal("FLASHED").size(), 2u);
  EXPECT_TRUE(Has(dry.err, "Dry run: every check passed; nothing was written.")) << dry.err;
  nlohmann::json record = nlohmann::json::parse(dry.out);
  EXPECT_EQ(record["outcome"], "checked");
  EXPECT_TRUE(record["blocks"].empty());
  Output json = Run({"flash", "/dev/sr0", image, "--yes", "--json"});
  EXPECT_EQ(json.code, 0) << json.err;
  record = nlohmann::json::parse(json.out);
  EXPECT_EQ(record["outcome"], "flashed");
  EXPECT_EQ(record["exit_code"], 0);
  EXPECT_EQ(record["after"]["revision"], "2.00");
  EXPECT_EQ(record["blocks"][1]["index"], "FF");
  std::string digest;
  if (FILE *sum = popen(("sha256sum " + image).c_str(), "r")) {
    char text[65] = "";
    if (fscanf(sum, "%64s", text) == 1) digest = text;
    pclose(sum);
  }
  EXPECT_EQ(record["image"]["sha256"], digest);
  Output checked = Run({"check", image, "--sha256", digest});
  EXPECT_EQ(checked.code, 0);
  EXPECT_TRUE(Has(checked.out, "SHA-256: " + digest + " (as --sha256 says)\nIts size fits")) << checked.out;
  EXPECT_TRUE(checked.err.empty()) << checked.err;
  EXPECT_EQ(Run({"check", folder}).code, 2);
  std::string other = std::string(digest.rbegin(), digest.rend());
  EXPECT_EQ(Run({"check", image, "--sha256", other}).code, 2);
  Output wrong = Run({"flash", "/dev/sr0", image, "--yes", "--sha256", other});
  EXPECT_EQ(wrong.code, 2);
  EXPECT_TRUE(Has(wrong.err, "its SHA-256 is " + digest + ", not " + other)) << wrong.err;
  EXPECT_EQ(Journal("FLASHED").size(), 3u) << "nothing sent for another image";
  // What is plainly no firmware is said so.
  std::string text = folder + "/notes.txt", zip = folder + "/fw.zip";
  std::ofstream(text) << "a firmware image is not a text file\n";
  std::ofstream(zip) << "PK\x03\x04 and the rest of an archive";
  for (const std::string &file : {text, zip}) {
    Output plain = Run({"check", file});
    EXPECT_TRUE(Has(plain.err, "not like firmware")) << plain.err;
    EXPECT_FALSE(Has(plain.out, "It can be flashed")) << plain.out;
    EXPECT_EQ(nlohmann::json::parse(Run({"check", file, "--json"}).out)["flashable"], false) << file;
  }
  size_t flashed = Journal("FLASHED").size();
  Output refusedText = Run({"flash", "/dev/sr0", text, "--yes"});
  EXPECT_EQ(refusedText.code, 2);
  EXPECT_TRUE(Has(refusedText.err, "looks like text, not like firmware; nothing was sent (--any-image")) << refusedText.err;
  // A name that a terminal would obey reaches it escaped, warning or not.
  std::string strange = folder + "/notes\x1b[2J.txt";
  std::ofstream(strange) << "still a text file\n";
  Output anyway = Run({"flash", "/dev/sr0", strange, "--any-image", "--dry-run"});
  EXPECT_EQ(anyway.code, 0) << anyway.err;
  EXPECT_TRUE(Has(anyway.err, "notes\\x1b[2J.txt looks like text")) << anyway.err;
  EXPECT_FALSE(Has(anyway.err + anyway.out, "\x1b[2J")) << "raw escape reached the terminal";
  EXPECT_EQ(Journal("FLASHED").size(), flashed);

  // --expect-revision is the revision the drive comes back with, and the
  // time to answer counts from the end of the quiet period (--settle).
  Drives({Sr(0)});
  EXPECT_EQ(Run({"flash", "/dev/sr0", image, "--yes", "--expect-revision", "2.00"}).code, 0);
  Drives({Sr(0)});
  Output older = Run({"flash", "/dev/sr0", image, "--yes", "--expect-revision", "1.00"});
  EXPECT_EQ(older.code, 1);
  EXPECT_TRUE(Has(older.err, "came back with firmware 2.00, not 1.00 as --expect-revision says")) << older.err;
  vdrive::DriveConfig unready = Sr(0);
  unready.failOpcode = 0x00;
  unready.failAt = 1;  // every TEST UNIT READY after the one before block 00
  unready.failCount = 0;
  unready.checkCondition = {0x70, 0, 0x02, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x04, 0x01};
  Drives({unready});
  started = Clock::now();
  Output settled = Run({"flash", "/dev/sr0", image, "--yes", "--settle", "6", "--ready-timeout", "2"});
  EXPECT_EQ(settled.code, 5) << settled.err;
  // 6 s of quiet, then questions for 2 s: three of them, a second apart;
  // read from the end of the quiet period, not from the last block.
  EXPECT_GE(Clock::now() - started, std::chrono::seconds(8));
  size_t questions = 0;
  bool downloaded = false;
  for (const std::string &line : Journal("SGIO")) {
    downloaded |= Has(line, "cdb=55 00 2B 41 50 49 FF");
    questions += downloaded && Has(line, "cdb=00 ");
  }
  EXPECT_GE(questions, 2u) << "asked again after the quiet period";
  EXPECT_TRUE(Has(settled.err, "has not answered within 8 s of its last block")) << settled.err;
}

TEST_F(Flashtool, RefusalsSendNothingToTheDrive) {
  vdrive::DriveConfig other = Sr(1);
  other.vendor = "OTHER";
  vdrive::DriveConfig disk = Sr(2);
  disk.type = 0;
  vdrive::DriveConfig mounted = Sr(3);
  mounted.mounted = "/media/cd\\040rom\\033[2J";  // a disc's label may hold what a terminal obeys
  vdrive::DriveConfig tape = Sr(5);  // a SCSI tape: a request written to it is a record
  tape.name = "/dev/st5";
  tape.type = 1;
  Drives({Sr(0), other, disk, mounted, Sr(4), tape});
  // Not root: the media polling of sr4 stays on.
  denied = "/dev/sr0,/sys/block/sr4/events_poll_msecs";
  std::string image = Image("good.bin", 1000);
  std::string empty = Image("empty.bin", 0);
  std::string huge = Image("huge.bin", 0);
  ASSERT_EQ(truncate(huge.c_str(), (4LL << 30) + 100), 0);
  std::string pipe = folder + "/pipe.bin";
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  // What another user may plant where a service log goes: --log writes only
  // to a regular file it names itself.
  std::string kept = folder + "/kept.jsonl";
  std::ofstream(kept) << "";
  ASSERT_EQ(symlink(kept.c_str(), (folder + "/link.jsonl").c_str()), 0);
  ASSERT_EQ(mkfifo((folder + "/fifo.jsonl").c_str(), 0600), 0);
  ASSERT_EQ(link(kept.c_str(), (folder + "/second.jsonl").c_str()), 0);

  struct Case {
    std::vector<std::string> args;
    int code;
    std::string says;
  } cases[] = {
      {{"flash", "/dev/sr1", empty, "--yes"}, 2, "it is empty"},
      {{"flash", "/dev/sr1", huge, "--yes"}, 2, "4294967396 bytes; the download command carries at most 10485760"},
      {{"flash", "/dev/sr1", folder + "/none.bin", "--yes"}, 2, "cannot open it: No such file or directory"},
      {{"flash", "/dev/sr1", pipe, "--yes"}, 2, "pipe.bin: not a regular file"},
      {{"flash", image, image, "--yes"}, 2, "good.bin: not a drive"},
      {{"flash", image, "/dev/sr1", "--yes"}, 2, "/dev/sr1: not a regular file: an image is a file such as fw.bin (is DEVICE before IMAGE?)"},
      {{"lst"}, 2, "flashtool: unknown command 'lst' (commands: list, info, check, flash) (did you mean 'list'?)"},
      {{"help", "lst"}, 2, "flashtool: unknown command 'lst'"},
      {{"flash", "/dev/sr1", image, "--jsn"}, 2, "flashtool: unknown option '--jsn' (did you mean '--json'?)"},
      {{"list", "--hedaer"}, 2, "flashtool: unknown option '--hedaer' (did you mean '--header'?)"},
      {{"flash", "--all", image, "--yes"}, 2, "flashtool: --all needs --expect"},
      {{"flash", "/dev/sr1", image, "-y", "-v", "--dry-run"}, 0, "> INQUIRY: cdb 12 00 00 00 64 00"},
      {{"flash", "/dev/null", image, "--yes"}, 2, "/dev/null: not a drive"},
      {{"flash", "/dev/st5", image, "--yes"}, 2, "/dev/st5: not a drive"},
      {{"info", "/dev/st5"}, 2, "/dev/st5: not a drive"},
      {{"flash", "/dev/sr4", image, "--yes"}, 4, "/dev/sr4: the kernel's media polling of sr4 cannot be switched off"},
      {{"flash", "/dev/sr1", image, "--yes", "--expect", ""}, 2, "--expect: wants \"VENDOR PRODUCT\""},
      {{"flash", "/dev/sr1", image, "--yes", "--expect", "  "}, 2, "a blank value would check nothing"},
      {{"flash", "/dev/sr1", image, "--yes", "--ready-timeout", "abc"}, 2, "wants a number of seconds"},
      {{"flash", "/dev/sr1", image, "--yes", "--settle", "4"}, 2, "wants a number of seconds from 5 to 3600"},
      {{"flash", "/dev/sr1", image, "--yes", "--expect", "QUOR VIRTUAL CD-RW"}, 3,
       "is \"OTHER VIRTUAL CD-RW\", not \"QUOR VIRTUAL CD-RW\""},
      {{"flash", "/dev/sr1", image, "--yes", "--expect", "OTHER VIRTUAL"}, 3, "not \"OTHER VIRTUAL\""},
      {{"flash", "/dev/sr1", image, "--yes", "--expect", "OTHERVIRTUAL CD-RW"}, 3, "not \"OTHERVIRTUAL CD-RW\""},
      {{"flash", "/dev/sr1", image, "--yes", "--expect", "OTHER VIRTUAL CD-RW2"}, 3, "not \"OTHER"},
      {{"flash", "/dev/sr2", image, "--yes"}, 3, "is no CD/DVD drive (device type 0)"},
      {{"flash", "/dev/sr1", image}, 3, "not flashing without --yes: standard input is not a terminal"},
      {{"flash", "/dev/sr0", image, "--yes"}, 4, "Permission denied (root or membership"},
      {{"flash", "/dev/sr7", image, "--yes"}, 4, "/dev/sr7: No such file or directory"},
      {{"flash", "/dev/sr3", image, "--yes"}, 4,
       "busy: its disc is mounted at /media/cd rom\\x1b[2J; unmount it (umount '/media/cd rom\\x1b[2J', or "
       "udisksctl unmount -b /dev/sr3 on a desktop)"},
      {{"flash", "/dev/sr1", image, "--yes", "--log", folder + "/link.jsonl"}, 2, "it is a symbolic link"},
      {{"flash", "/dev/sr1", image, "--yes", "--log", folder + "/fifo.jsonl"}, 2, "not a regular file"},
      {{"flash", "/dev/sr1", image, "--yes", "--log", folder + "/second.jsonl"}, 2, "other hard links"},
      {{"flash", "/dev/sr1"}, 2, "DEVICE and IMAGE are required"},
  };
  for (const Case &c : cases) {
    Output run = Run(c.args);
    std::string words;
    for (const std::string &word : c.args) words += word + " ";
    EXPECT_EQ(run.code, c.code) << words;
    EXPECT_TRUE(Has(run.err, c.says)) << run.err;
  }
  EXPECT_EQ(Downloads(), 0u);
  EXPECT_TRUE(Journal("TAPEWRITE").empty()) << "nothing written to the tape";
  // Help, not on a terminal: 80 columns, the usage in the words it reads.
  for (const char *command : {"", "list", "info", "check", "flash"}) {
    std::vector<std::string> words{"--help"};
    if (*command != '\0') words.insert(words.begin(), command);
    Output help = Run(words);
    EXPECT_EQ(help.code, 0) << command;
    for (size_t at = 0, end; (end = help.out.find('\n', at)) != std::string::npos; at = end + 1)
      EXPECT_LE(end - at, 80u) << command << ": " << help.out.substr(at, end - at);
    if (std::string(command) == "flash") {
      EXPECT_TRUE(Has(help.out, "Usage: flashtool flash [OPTIONS] DEVICE... IMAGE\n"));
      EXPECT_TRUE(Has(Run({"help", "flash"}).out, "Usage: flashtool flash [OPTIONS] DEVICE... IMAGE\n"));
    }
  }
  struct stat keptFile;
  EXPECT_TRUE(stat(kept.c_str(), &keptFile) == 0 && keptFile.st_size == 0) << "nothing written through a link";
  Output matching = Run({"flash", "/dev/sr1", image, "--yes", "--expect", "  OTHER   VIRTUAL CD-RW "});
  EXPECT_EQ(matching.code, 0) << matching.err;
  Output polled = Run({"flash", "/dev/sr4", image, "--yes", "--allow-polling"});
  EXPECT_EQ(polled.code, 0) << polled.err;
  EXPECT_TRUE(Has(polled.err, "going on as --allow-polling says")) << polled.err;
}

// Each failure in the words of sg3_utils' library, with a hint where one
// fits, and one complete record per run in the service log whatever the
// outcome; a line a crash cut short before them spoils none.
TEST_F(Flashtool, FailuresNameTheirReasonAndAreRecorded) {
  vdrive::DriveConfig refusing = Sr(0);  // fixed-format sense at block 01
  refusing.failAt = 1;
  refusing.checkCondition = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24, 0x00};
  vdrive::DriveConfig stuck = Sr(1);  // its first TEST UNIT READY after the flash never ends
  stuck.failOpcode = 0x00;
  stuck.failAt = 1;
  stuck.failCount = 0;
  stuck.hang = true;
  stuck.alias = "/dev/sg11";  // the question is left to the kernel there
  vdrive::DriveConfig lost = Sr(2);  // the adapter loses the drive at block 01
  lost.failAt = 1;
  lost.aspiStatus = 0x04;
  vdrive::DriveConfig unready = Sr(3);  // becoming ready, for ever
  unready.failOpcode = 0x00;
  unready.failAt = 0;
  unready.failCount = 0;
  unready.checkCondition = {0x70, 0, 0x02, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x04, 0x01};
  vdrive::DriveConfig bridged = Sr(4);  // descriptor-format sense: no such command
  bridged.failAt = 0;
  bridged.checkCondition = {0x72, 0x05, 0x20, 0x00, 0, 0, 0, 0};
  vdrive::DriveConfig shortened = Sr(5);  // block 01 does not arrive whole, yet GOOD
  shortened.failAt = 1;
  shortened.shortBy = 512;
  vdrive::DriveConfig failed = Sr(6);  // answers who it is, then fails its self-test
  failed.failOpcode = 0x12;
  failed.failAt = 2;  // after the identity and the serial page
  failed.failCount = 0;
  failed.checkCondition = {0x70, 0, 0x04, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x44, 0x00};
  vdrive::DriveConfig late = Sr(7);  // takes block 00, then says it knows no such command
  late.failAt = 1;
  late.checkCondition = {0x72, 0x05, 0x20, 0x00, 0, 0, 0, 0};
  vdrive::DriveConfig lostFirst = Sr(8);  // the adapter loses the drive at block 00
  lostFirst.failAt = 0;
  lostFirst.aspiStatus = 0x04;
  vdrive::DriveConfig timedOut = Sr(9);  // block 00 times out
  timedOut.failAt = 0;
  timedOut.failError = ETIMEDOUT;
  Drives({refusing, stuck, lost, unready, bridged, shortened, failed, late, lostFirst, timedOut});
  std::string image = Image("three.bin", 3 * 40960);
  std::string log = folder + "/service.jsonl";
  std::ofstream(log) << "{\"cut short by a crash";

  Output refused = Run({"flash", "/dev/sr0", image, "--yes", "--log", log});
  EXPECT_EQ(refused.code, 1);
  EXPECT_TRUE(Has(refused.err, "block 01 (2 of the image) failed: SCSI status 02h (Check Condition), "
                               "sense key 5 (Illegal Request), ASC 24h, ASCQ 00h: Invalid field in cdb"))
      << refused.err;
  EXPECT_EQ(Downloads(), 2u) << "nothing after the refused block";

  Output bridge = Run({"flash", "/dev/sr4", image, "--yes"});
  EXPECT_EQ(bridge.code, 6) << "nothing written";
  EXPECT_TRUE(Has(bridge.err, "block 00 (1 of the image) failed: SCSI status 02h (Check Condition), "
                              "sense key 5 (Illegal Request), ASC 20h, ASCQ 00h: Invalid command operation code\n"
                              "flashtool: the drive took no block of the image; it holds what it held\n"
                              "hint: the drive does not take the download command. A USB bridge"))
      << bridge.err;
  Output later = Run({"flash", "/dev/sr7", image, "--yes"});
  EXPECT_EQ(later.code, 1) << "block 00 is in the drive";
  EXPECT_FALSE(Has(later.err, "does not take the download command")) << later.err;

  Output cut = Run({"flash", "/dev/sr5", image, "--yes"});
  EXPECT_EQ(cut.code, 1);
  EXPECT_TRUE(Has(cut.err, "block 01 (2 of the image) failed: 512 bytes of it never reached the drive (residual 512)"))
      << cut.err;
  EXPECT_TRUE(Has(cut.err, "hint: part of a block was lost on its way")) << cut.err;

  // Every block taken, and then no answer: the wait ends one question
  // after its time, and nothing advises switching the drive off.
  Clock::time_point started = Clock::now();
  Output gone = Run({"flash", "/dev/sr1", image, "--yes", "--ready-timeout", "1", "--log", log});
  EXPECT_EQ(gone.code, 5);
  EXPECT_LT(Clock::now() - started, std::chrono::seconds(45)) << "a hanging TEST UNIT READY stretched the wait";
  EXPECT_TRUE(Has(gone.out, "Flashed: the drive took all 3 blocks."));
  EXPECT_TRUE(Has(gone.err, "the drive has not answered within 6 s")) << gone.err;
  EXPECT_EQ(Polling("sr1"), "0") << "it may be writing its firmware: the kernel does not poll it";
  bool patient = false;
  for (const std::string &line : Journal("SGIO")) patient |= Has(line, "cdb=00 ") && Has(line, "timeout=120000");
  EXPECT_TRUE(patient) << "no question after the last block with a time-out below 120 s";
  EXPECT_TRUE(Has(gone.err, "it may still be writing its firmware: leave it powered and connected")) << gone.err;
  EXPECT_FALSE(Has(gone.err, "switch it off and on")) << gone.err;

  // Block 00 without an answer may be in the drive; so may a one-block
  // image whose only block is the last.
  Output first = Run({"flash", "/dev/sr8", image, "--yes"});
  EXPECT_EQ(first.code, 1) << first.err;
  EXPECT_TRUE(Has(first.err, "block 00 may have reached the drive")) << first.err;
  EXPECT_FALSE(Has(first.err, "holds what it held")) << first.err;
  Output slow = Run({"flash", "/dev/sr9", image, "--yes"});
  EXPECT_EQ(slow.code, 1) << slow.err;
  EXPECT_TRUE(Has(slow.err, "block 00 (1 of the image) failed: error 110 (Connection timed out)")) << slow.err;
  Output single = Run({"flash", "/dev/sr8", Image("one.bin", 4096), "--yes"});
  EXPECT_EQ(single.code, 1) << single.err;
  EXPECT_TRUE(Has(single.err, "it may still be writing its firmware")) << single.err;
  EXPECT_FALSE(Has(single.err, "holds what it held")) << single.err;
  EXPECT_EQ(Polling("sr8"), "0");

  Output adapter = Run({"flash", "/dev/sr2", image, "--yes"});
  EXPECT_EQ(adapter.code, 1) << adapter.err;
  EXPECT_TRUE(Has(adapter.err, "block 01 (2 of the image) failed: host status 01h (DID_NO_CONNECT)\n"))
      << adapter.err;
  EXPECT_TRUE(Has(adapter.err, "hint: the drive stopped answering")) << adapter.err;

  size_t before = Downloads();
  Output notReady = Run({"flash", "/dev/sr3", image, "--yes", "--log", log});
  EXPECT_EQ(notReady.code, 6);
  EXPECT_TRUE(Has(notReady.err, "/dev/sr3 is not ready to be flashed: SCSI status 02h (Check Condition), "
                                "sense key 2 (Not Ready), ASC 04h, ASCQ 01h: Logical unit is in process "
                                "of becoming ready; nothing was written"))
      << notReady.err;
  Output broken = Run({"flash", "/dev/sr6", image, "--yes"});
  EXPECT_EQ(broken.code, 6);
  EXPECT_TRUE(Has(broken.err, "/dev/sr6 is not ready to be flashed: SCSI status 02h (Check Condition), "
                              "sense key 4 (Hardware Error), ASC 44h")) << broken.err;
  EXPECT_EQ(Downloads(), before);

  std::ifstream in(log);
  std::vector<nlohmann::json> records;
  std::string line;
  std::getline(in, line);
  EXPECT_EQ(line, "{\"cut short by a crash");
  while (std::getline(in, line)) records.push_back(nlohmann::json::parse(line));
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0]["outcome"], "failed");
  EXPECT_EQ(records[0]["exit_code"], 1);
  EXPECT_EQ(records[0]["address"], "0:0:0:0");
  EXPECT_EQ(records[0]["before"]["revision"], "1.00");
  EXPECT_TRUE(records[0]["after"].is_null());
  EXPECT_EQ(records[0]["image"]["blocks"], 3);
  EXPECT_EQ(records[0]["image"]["sha256"].get<std::string>().size(), 64u);
  ASSERT_EQ(records[0]["blocks"].size(), 2u);
  EXPECT_EQ(records[0]["blocks"][0]["outcome"], "ok");
  EXPECT_EQ(records[0]["blocks"][1]["index"], "01");
  EXPECT_TRUE(Has(records[0]["reason"], "block 01 (2 of the image) failed")) << records[0];
  EXPECT_EQ(records[1]["blocks"].size(), 3u);
  EXPECT_TRUE(Has(records[1]["reason"], "has not answered")) << records[1];
  EXPECT_EQ(records[1]["exit_code"], 5);
  EXPECT_TRUE(Has(records[2]["reason"], "not ready to be flashed")) << records[2];
}

// Three drives at once, one refusing block 01: the others take every
// block, each drive has its record and its line in the table, and the
// failure decides the exit code. One drive refused before the start, two
// models, or one drive named twice keep every drive untouched.
TEST_F(Flashtool, FlashesSeveralDrivesAtOnce) {
  vdrive::DriveConfig failing = Sr(1);
  failing.failAt = 1;
  failing.checkCondition = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24, 0x00};
  std::vector<vdrive::DriveConfig> drives{Sr(0), failing, Sr(2)};
  for (vdrive::DriveConfig &d : drives) d.delayMs = 20;
  drives[2].alias = "/dev/sg9";
  vdrive::DriveConfig disk = Sr(3);
  disk.type = 0;
  vdrive::DriveConfig other = Sr(4);
  other.vendor = "OTHER";
  drives.push_back(disk);
  drives.push_back(other);
  Drives(drives);
  std::string image = Image("batch.bin", 4 * 40960);
  std::string log = folder + "/batch.jsonl";

  Output refused = Run({"flash", "/dev/sr0", "/dev/sr1", "/dev/sr3", image, "--yes"});
  EXPECT_EQ(refused.code, 3) << refused.err;
  EXPECT_TRUE(Has(refused.err, "1 of 3 drives cannot be flashed; nothing was written to any drive")) << refused.err;
  Output models = Run({"flash", "/dev/sr0", "/dev/sr4", "/dev/sr2", image, "--yes"});
  EXPECT_EQ(models.code, 3) << models.err;
  EXPECT_TRUE(Has(models.err, "drives of different models: /dev/sr4 is \"OTHER VIRTUAL CD-RW\"")) << models.err;
  Output twice = Run({"flash", "/dev/sr2", "/dev/sg9", image, "--yes"});
  EXPECT_EQ(twice.code, 2) << twice.err;
  EXPECT_TRUE(Has(twice.err, "/dev/sr2 and /dev/sg9 are the same drive")) << twice.err;
  EXPECT_EQ(Downloads(), 0u);
  EXPECT_EQ(Run({"flash", "--all", image, "--yes"}).code, 2) << "--all without --expect";
  // A drive left half-written outweighs one refused.
  Output half = Run({"flash", "/dev/sr3", "/dev/sr1", image, "--yes", "--skip-failing"});
  EXPECT_EQ(half.code, 1) << half.err;
  EXPECT_EQ(Downloads(), 2u);

  Output batch = Run({"flash", "--all", image, "--expect", "QUOR VIRTUAL CD-RW", "--yes", "--json", "--log", log});
  EXPECT_EQ(batch.code, 1) << batch.err;
  size_t ok[3] = {0, 0, 0};
  for (const std::string &line : Journal("BLOCK"))
    for (int n = 0; n < 3; ++n) ok[n] += Has(line, "/dev/sr" + std::to_string(n) + " ") && Has(line, " ok");
  EXPECT_EQ(ok[0], 4u);
  EXPECT_EQ(ok[1], 2u) << "the failing drive stops at its block 01, in each of its two runs";
  EXPECT_EQ(ok[2], 4u);
  EXPECT_EQ(Journal("FLASHED").size(), 2u);
  nlohmann::json records = nlohmann::json::parse(batch.out);
  ASSERT_EQ(records.size(), 3u) << "the disk is no drive of that identity";
  EXPECT_EQ(records[0]["outcome"], "flashed");
  EXPECT_EQ(records[1]["outcome"], "failed");
  EXPECT_TRUE(Has(records[1]["reason"], "block 01 (2 of the image) failed")) << records[1];
  EXPECT_EQ(records[2]["after"]["revision"], "2.00");
  // The table within 80 columns, each reason under its row.
  EXPECT_TRUE(Has(batch.err, "DEVICE      ADDRESS    BEFORE    AFTER        TIME  OUTCOME\n")) << batch.err;
  EXPECT_TRUE(Has(batch.err, "failed\n            block 01 (2 of the image) failed: SCSI status 02h (Check Condition),"))
      << batch.err;
  size_t table = batch.err.find("DEVICE      ADDRESS"), verdicts = batch.err.find("\nflashed /dev/sr0");
  ASSERT_TRUE(table != std::string::npos && verdicts != std::string::npos) << batch.err;
  for (size_t at = table, end; (end = batch.err.find('\n', at)) != std::string::npos && end <= verdicts; at = end + 1)
    EXPECT_LE(end - at, 80u) << batch.err.substr(at, end - at);
  EXPECT_TRUE(Has(batch.err, "--all leaves out /dev/sr4: it is \"OTHER VIRTUAL CD-RW\"")) << batch.err;
  std::ifstream in(log);
  int lines = 0;
  for (std::string line; std::getline(in, line); ++lines) EXPECT_NO_THROW(nlohmann::json::parse(line));
  EXPECT_EQ(lines, 3);

  // A drive that leaves after its last block and does not come back, beside
  // an idle twin without a serial number: the twin is not taken for it, nor
  // asked anything.
  vdrive::DriveConfig leaving = Sr(0);
  leaving.movesTo = "/dev/sr9";
  Drives({leaving, Sr(2)});
  Shell("rm " + root + "/sys/block/sr9/device");
  size_t before = Journal("SGIO").size();
  Output left = Run({"flash", "/dev/sr0", image, "--yes", "--ready-timeout", "2"});
  EXPECT_EQ(left.code, 5) << left.err;
  EXPECT_FALSE(Has(left.out, "came back")) << left.out;
  std::vector<std::string> sent = Journal("SGIO");
  for (size_t i = before; i < sent.size(); ++i) EXPECT_FALSE(Has(sent[i], "SGIO /dev/sr2 ")) << sent[i];
}

// Interrupts and stops during the blocks, and other users of the drive.
TEST_F(Flashtool, InterruptsWaitForTheOutcomeAndASecondFlashIsRefused) {
  vdrive::DriveConfig slow = Sr(0);
  slow.alias = "/dev/sg0";
  slow.delayMs = 150;
  Drives({slow});
  // Long enough that a second flash, which waits out a listing's hold on
  // the lock for up to 3 s, still meets the first one's blocks.
  std::string image = Image("slow.bin", 30 * 40960), shorter = Image("short.bin", 6 * 40960);
  int out = -1, err = -1;
  pid_t pid = Start({"flash", "/dev/sr0", image, "--yes"}, &out, &err);
  ASSERT_TRUE(WaitJournal("BLOCK", "idx=01"));
  EXPECT_EQ(Polling("sr0"), "0") << "the kernel's media polling is off during the blocks";

  // Opening the block node makes the kernel send commands; the sg node,
  // which carries the lock, sends nothing.
  auto others = [&] {
    size_t n = 0;
    for (const std::string &line : Journal("OPEN")) n += Has(line, "OPEN /dev/sr0 ");
    for (const std::string &line : Journal("SGIO")) n += !Has(line, "cdb=55 ");
    return n;
  };
  size_t before = others();
  Output second = Run({"flash", "/dev/sg0", image, "--yes"});
  EXPECT_EQ(second.code, 4);
  EXPECT_TRUE(Has(second.err, "/dev/sg0: busy: another flashtool is flashing this drive")) << second.err;
  Output listed = Run({"list"});
  EXPECT_TRUE(Has(listed.err, "/dev/sr0: busy")) << listed.err;
  EXPECT_EQ(others(), before) << "nobody else opened the drive's block node or asked it anything during the flash";

  for (int signal : {SIGQUIT, SIGTERM, SIGHUP, SIGTSTP, SIGINT}) kill(pid, signal);
  Output first = Finish(pid, out, err);
  EXPECT_EQ(first.code, 5) << first.err;
  EXPECT_TRUE(Has(first.err, "interrupt held: the flash ends first")) << first.err;
  EXPECT_TRUE(Has(first.out, "Flashed: the drive took all 30 blocks.\n")) << first.out;
  EXPECT_TRUE(Has(first.err, ") during the flash, held until it ended; not waiting"))
      << first.err;
  EXPECT_EQ(Journal("BLOCK").size(), 30u);
  EXPECT_EQ(Journal("FLASHED").size(), 1u);
  EXPECT_EQ(Polling("sr0"), "0") << "left off: the drive may still be writing its firmware";
  EXPECT_EQ(Run({"info", "/dev/sr0"}).code, 0);
  EXPECT_EQ(Polling("sr0"), "2000") << "put back once the drive answers";


  // Stopped and continued in the middle of a block on the sg node: the
  // block still reaches the drive once.
  slow.delayMs = 300;
  Drives({slow});
  pid = Start({"flash", "/dev/sg0", shorter, "--yes"}, &out, &err);
  ASSERT_TRUE(WaitJournal("BLOCK", "idx=02"));
  kill(pid, SIGSTOP);
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  kill(pid, SIGCONT);
  Output stopped = Finish(pid, out, err);
  EXPECT_EQ(stopped.code, 0) << stopped.err;
  std::vector<std::string> blocks = Journal("BLOCK");
  ASSERT_EQ(blocks.size(), 36u);
  for (size_t i = 30; i < blocks.size(); ++i) EXPECT_TRUE(Has(blocks[i], " ok")) << blocks[i];

  // SIGKILL, which nothing can hold, leaves polling off: the next run puts
  // back the value the killed one kept.
  Drives({slow});
  size_t taken = Journal("BLOCK").size();
  pid = Start({"flash", "/dev/sr0", shorter, "--yes"}, &out, &err);
  for (int i = 0; i < 200 && Journal("BLOCK").size() < taken + 2; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  kill(pid, SIGKILL);
  EXPECT_EQ(Finish(pid, out, err).code, 128 + SIGKILL);
  EXPECT_EQ(Polling("sr0"), "0");
  Run({"list"});
  EXPECT_EQ(Polling("sr0"), "2000") << "put back by the next run";
  // Several drives end with the signal that came, as one drive does, and
  // one that comes during the blocks waits for them.
  vdrive::DriveConfig twin = slow;
  twin.name = "/dev/sr1";
  twin.alias = "/dev/sg1";
  Drives({slow, twin});
  pid = Start({"flash", "/dev/sr0", "/dev/sr1", shorter, "--yes"}, &out, &err);
  kill(pid, SIGTERM);  // while the drives are asked: 150 ms a command
  Output early = Finish(pid, out, err);
  EXPECT_EQ(early.code, 128 + SIGTERM) << early.err;
  taken = Journal("BLOCK").size();
  EXPECT_EQ(Run({"info", "/dev/sr0"}).code, 0);
  pid = Start({"flash", "/dev/sr0", "/dev/sr1", shorter, "--yes"}, &out, &err);
  for (int i = 0; i < 500 && Journal("BLOCK").size() < taken + 2; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  kill(pid, SIGTERM);
  Output both = Finish(pid, out, err);
  EXPECT_EQ(both.code, 5) << "every block was taken: " << both.err;
  EXPECT_EQ(Journal("BLOCK").size(), taken + 12);
}

// What a terminal of `columns` shows of `seen`: each line as it stands
// once carriage returns, erased lines and cursor moves have been played.
std::vector<std::string> Visible(const std::string &seen) {
  std::vector<std::string> lines{""};
  size_t row = 0, column = 0;
  for (size_t at = 0; at < seen.size(); ++at) {
    char c = seen[at];
    if (c == '\x1b' && at + 1 < seen.size() && seen[at + 1] == '[') {
      size_t end = seen.find_first_of("ABCDHJKm", at + 2);
      if (end == std::string::npos) break;
      if (seen[end] == 'K') lines[row].resize(std::min(lines[row].size(), column));
      if (seen[end] == 'A') row -= std::min<size_t>(row, (size_t)atoi(seen.c_str() + at + 2));
      at = end;
    } else if (c == '\r') {
      column = 0;
    } else if (c == '\n') {
      if (++row == lines.size()) lines.push_back("");
      column = 0;
    } else {
      if (column < lines[row].size()) lines[row][column] = c;
      else lines[row] += c;
      ++column;
    }
  }
  return lines;
}

// On a terminal of 80 columns: the question, the answer, progress redrawn
// in place and never run into another line, no line wider than the
// terminal; a block that hangs keeps its clock moving and Ctrl-C is
// answered at once; several drives keep their board in place.
TEST_F(Flashtool, OnATerminalAsksForYesAndRedrawsProgress) {
  Drives({Sr(0)});
  std::string image = Image("tty.bin", 40961);
  // Runs flashtool on the terminal; `act` reads what it shows so far and
  // may type or end it (true: stop reading).
  auto onTerminal = [&](const std::vector<std::string> &args, std::string *seen,
                        const std::function<bool(int master, pid_t pid)> &act) {
    int master;
    struct winsize size = {40, 80, 0, 0};
    pid_t pid = forkpty(&master, nullptr, nullptr, &size);
    if (pid == 0) Exec(args);
    Clock::time_point deadline = Clock::now() + std::chrono::seconds(60);
    char chunk[1024];
    while (Clock::now() < deadline) {
      struct pollfd fd = {master, POLLIN, 0};
      if (poll(&fd, 1, 50) > 0) {
        ssize_t n = read(master, chunk, sizeof chunk);
        if (n <= 0) break;  // the program has ended and closed the terminal
        seen->append(chunk, n);
      }
      if (act(master, pid)) break;
    }
    close(master);
    int status = 0;
    waitpid(pid, &status, 0);
    return CodeOf(status);
  };
  auto answering = [&](const std::string &typed, std::string *seen) {
    bool answered = false;
    return onTerminal({"flash", "/dev/sr0", image}, seen, [&, seen](int master, pid_t) {
      if (!answered && Has(*seen, "Type YES")) {
        answered = true;
        write(master, typed.data(), typed.size());
      }
      return false;
    });
  };

  std::string seen;
  EXPECT_EQ(answering("no\n", &seen), 3);
  EXPECT_TRUE(Has(seen, "not confirmed; nothing was sent")) << seen;
  seen.clear();
  EXPECT_EQ(answering("\x03", &seen), 128 + SIGINT) << seen;
  EXPECT_TRUE(Has(seen, "interrupted (SIGINT) before the first block: nothing was written")) << seen;
  EXPECT_FALSE(Has(seen, "no reason given")) << seen;
  EXPECT_EQ(Downloads(), 0u);

  seen.clear();
  EXPECT_EQ(answering("YES\n", &seen), 0) << seen;
  EXPECT_TRUE(Has(seen, "Type YES to write " + image + " into /dev/sr0: YES")) << seen;
  // One line, redrawn, in the words of a log.
  EXPECT_TRUE(Has(seen, "\r\x1b[KWritten 1 of 2 blocks (50%), 40960 of 40961 bytes, ")) << seen;
  EXPECT_TRUE(Has(seen, "\r\x1b[KWritten 2 of 2 blocks (100%), 40961 of 40961 bytes, ")) << seen;
  EXPECT_EQ(Downloads(), 2u);
  for (size_t at = seen.find(" left"); at != std::string::npos; at = seen.find(" left", at + 1))
    EXPECT_TRUE(at + 5 < seen.size() && (seen[at + 5] == '\r' || seen[at + 5] == '\n'))
        << "the progress line runs into: " << seen.substr(at, 60);
  for (const std::string &line : Visible(seen)) EXPECT_LE(line.size(), 80u) << line;

  // Block 01 never answers: the clock moves while it is out, and Ctrl-C is
  // answered within a second, though the block still holds the program.
  vdrive::DriveConfig hung = Sr(0);
  hung.alias = "/dev/sg0";
  hung.failAt = 1;
  hung.failCount = 0;
  hung.hang = true;
  Drives({hung});
  std::string three = Image("three.bin", 3 * 40960);
  seen.clear();
  Clock::time_point typed{}, held{};
  std::string clock;
  onTerminal({"flash", "/dev/sr0", three, "--yes"}, &seen, [&](int master, pid_t pid) {
    if (clock.empty() && Has(seen, "Block 2 of 3: waiting for the drive, 0:02")) {
      clock = "moving";
      write(master, "\x03", 1);
      typed = Clock::now();
    }
    if (typed != Clock::time_point() && held == Clock::time_point() &&
        Has(seen, "flashtool: interrupt held: the flash ends first")) {
      held = Clock::now();
      kill(pid, SIGKILL);  // the block would hold it for its time-out
      return true;
    }
    return false;
  });
  EXPECT_EQ(clock, "moving") << seen;
  ASSERT_NE(held, Clock::time_point()) << seen;
  // The watch looks twice a second; a second of margin for a busy machine.
  EXPECT_LT(held - typed, std::chrono::milliseconds(1500)) << seen;

  // Three drives, Ctrl-C during their blocks: the board stays where it is,
  // the held line its last row.
  std::vector<vdrive::DriveConfig> three_drives{Sr(0), Sr(1), Sr(2)};
  for (vdrive::DriveConfig &d : three_drives) d.delayMs = 100;
  Drives(three_drives);
  std::string eight = Image("eight.bin", 8 * 40960);
  seen.clear();
  bool interrupted = false;
  int code = onTerminal({"flash", "/dev/sr0", "/dev/sr1", "/dev/sr2", eight, "--yes", "--settle", "5",
                         "--ready-timeout", "5"},
                        &seen, [&](int master, pid_t) {
                          if (!interrupted && Has(seen, "  2/8 ")) {
                            interrupted = true;
                            write(master, "\x03", 1);
                          }
                          return false;
                        });
  EXPECT_EQ(code, 5) << seen;
  size_t heldAt = seen.find("interrupt held: the flash ends first");
  ASSERT_NE(heldAt, std::string::npos) << seen;
  EXPECT_NE(seen.find("\x1b[4A", heldAt), std::string::npos) << "redrawn in place, with the held row: " << seen;
  std::vector<std::string> shown = Visible(seen);
  size_t rows = 0;
  for (const std::string &line : shown) rows += line.compare(0, 8, "/dev/sr0") == 0 && Has(line, "%");
  std::string screen;
  for (const std::string &line : shown) screen += line + "\n";
  EXPECT_EQ(rows, 1u) << "the board scrolled: " << screen;
  for (const std::string &line : shown) EXPECT_LE(line.size(), 80u) << line;
}

}  // namespace
