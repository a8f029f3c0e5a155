// The real flashtool on Linux, its drives served from the virtual drive by
// the preload library: what it prints, how it exits, and what the drives
// received, read from their journal.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
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
  }
  void TearDown() override { system(("rm -rf " + folder).c_str()); }

  void Drives(const std::vector<vdrive::DriveConfig> &drives) {
    vdrive::Config c;
    c.drives = drives;
    std::ofstream(config) << vdrive::FormatConfig(c);
  }
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
    std::vector<char *> argv{(char *)FLASHTOOL_BINARY};
    for (const std::string &a : args) argv.push_back((char *)a.c_str());
    argv.push_back(nullptr);
    execv(FLASHTOOL_BINARY, argv.data());
    _exit(127);
  }

  // Starts flashtool with standard input from /dev/null and its output in pipes.
  pid_t Start(const std::vector<std::string> &args, int *out, int *err) {
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

  Output Run(const std::vector<std::string> &args) {
    int out = -1, err = -1;
    pid_t pid = Start(args, &out, &err);
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

  std::string folder, config, journal, denied;
};

bool Has(const std::string &text, const std::string &part) {
  return text.find(part) != std::string::npos;
}

TEST_F(Flashtool, ListsTheCdDrivesAsTextAndJson) {
  vdrive::DriveConfig disk = Sr(1);
  disk.type = 0;
  vdrive::DriveConfig dvd = Sr(3);
  dvd.vendor = "ABCD";
  dvd.product = "DVD-RW 5678";
  dvd.revision = "B2";
  Drives({Sr(0), disk, Sr(2), dvd});
  denied = "/dev/sr2";

  Output text = Run({"list"});
  EXPECT_EQ(text.code, 0);
  EXPECT_EQ(text.out,
            "/dev/sr0    QUOR      VIRTUAL CD-RW     1.00\n"
            "/dev/sr3    ABCD      DVD-RW 5678       B2\n");
  EXPECT_TRUE(Has(text.err, "/dev/sr2: Permission denied (root or membership of the group")) << text.err;

  Output json = Run({"list", "--json"});
  EXPECT_EQ(json.code, 0);
  nlohmann::json parsed = nlohmann::json::parse(json.out);
  ASSERT_EQ(parsed.size(), 2u);
  EXPECT_EQ(parsed[1], nlohmann::json({{"device", "/dev/sr3"}, {"vendor", "ABCD"},
                                       {"product", "DVD-RW 5678"}, {"revision", "B2"}}));
}

TEST_F(Flashtool, FlashesAnImageAndShowsTheNewRevision) {
  Drives({Sr(0)});
  std::string image = Image("firmware.bin", 40961);
  Output run = Run({"flash", "/dev/sr0", image, "--yes"});
  EXPECT_EQ(run.code, 0) << run.err;
  char sum[8];
  snprintf(sum, sizeof sum, "%04X", Checksum(40961));
  EXPECT_EQ(run.out, "Drive:  /dev/sr0  QUOR VIRTUAL CD-RW, firmware 1.00\n"
                     "Image:  " + image + "  40961 bytes, 2 blocks, checksum " + sum + "\n"
                     "Flashing. Do not turn off the power or unplug the drive.\n"
                     "Written 50% (1 of 2 blocks)\n"
                     "Written 100% (2 of 2 blocks)\n"
                     "Flashed: the drive took all 2 blocks.\n"
                     "Waiting for the drive to come back (up to 60 s)...\n"
                     "Drive:  /dev/sr0  QUOR VIRTUAL CD-RW, firmware 2.00\n");

  std::vector<std::string> sent = Journal("SGIO");
  ASSERT_GE(sent.size(), 4u);
  EXPECT_TRUE(Has(sent[0], "dir=in cdblen=6 len=100 timeout=2000") && Has(sent[0], "cdb=12 00 00 00 64 00"))
      << sent[0];
  std::vector<std::string> blocks = Journal("BLOCK");
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_TRUE(Has(blocks[0], "idx=00") && Has(blocks[0], " ok"));
  EXPECT_EQ(blocks[1], "BLOCK /dev/sr0 idx=FF sum=" + std::string(sum) + " ok");
  bool lastCommand = false;
  for (const std::string &line : sent)
    lastCommand |= Has(line, "dir=out cdblen=12 len=40960 timeout=100000") &&
                   Has(line, "cdb=55 00 2B 41 50 49 FF A0 00 " + std::string(sum, 2) + " " +
                                 std::string(sum + 2, 2) + " 00");
  EXPECT_TRUE(lastCommand) << "the last block's download command";
}

TEST_F(Flashtool, RefusalsSendNothingToTheDrive) {
  vdrive::DriveConfig other = Sr(1);
  other.vendor = "OTHER";
  Drives({Sr(0), other});
  denied = "/dev/sr0";
  std::string image = Image("good.bin", 1000);
  std::string empty = Image("empty.bin", 0);
  std::string huge = Image("huge.bin", 0);
  ASSERT_EQ(truncate(huge.c_str(), (4LL << 30) + 100), 0);

  struct Case {
    std::vector<std::string> args;
    int code;
    std::string says;
  } cases[] = {
      {{"flash", "/dev/sr1", empty, "--yes"}, 2, "it is empty"},
      {{"flash", "/dev/sr1", huge, "--yes"}, 2, "4294967396 bytes; the download command carries at most 10485760"},
      {{"flash", "/dev/sr1", folder + "/none.bin", "--yes"}, 2, "cannot open it: No such file or directory"},
      {{"flash", "/dev/sr1", image, "--yes", "--expect", "QUOR VIRTUAL CD-RW"}, 3,
       "is \"OTHER VIRTUAL CD-RW\", not \"QUOR VIRTUAL CD-RW\""},
      {{"flash", "/dev/sr1", image}, 3, "not flashing without --yes: standard input is not a terminal"},
      {{"flash", "/dev/sr0", image, "--yes"}, 4, "Permission denied (root or membership"},
      {{"flash", "/dev/sr7", image, "--yes"}, 4, "/dev/sr7: No such file or directory"},
      {{"flash", "/dev/sr1"}, 2, "IMAGE is required"},
  };
  for (const Case &c : cases) {
    Output run = Run(c.args);
    EXPECT_EQ(run.code, c.code) << c.args[2];
    EXPECT_TRUE(Has(run.err, c.says)) << run.err;
  }
  EXPECT_EQ(Downloads(), 0u);
  Output matching = Run({"flash", "/dev/sr1", image, "--yes", "--expect", "  OTHER   VIRTUAL CD-RW "});
  EXPECT_EQ(matching.code, 0) << matching.err;
}

TEST_F(Flashtool, FailuresNameTheirReason) {
  vdrive::DriveConfig refusing = Sr(0);
  refusing.failAt = 1;
  refusing.checkCondition = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24, 0x00};
  vdrive::DriveConfig stuck = Sr(1);  // never ready after the flash
  stuck.failOpcode = 0x00;
  stuck.failAt = 0;
  stuck.failCount = 0;
  stuck.checkCondition = {0x70, 0, 0x02, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x04, 0x01};
  Drives({refusing, stuck});
  std::string image = Image("three.bin", 3 * 40960);

  Output refused = Run({"flash", "/dev/sr0", image, "--yes"});
  EXPECT_EQ(refused.code, 1);
  EXPECT_TRUE(Has(refused.err, "block 01 (2 of the image) failed: SCSI status 02h (CHECK CONDITION), "
                               "sense key 5 (ILLEGAL REQUEST), ASC 24h, ASCQ 00h"))
      << refused.err;
  EXPECT_EQ(Downloads(), 2u) << "nothing after the refused block";

  Output gone = Run({"flash", "/dev/sr1", image, "--yes", "--ready-timeout", "1"});
  EXPECT_EQ(gone.code, 1);
  EXPECT_TRUE(Has(gone.out, "Flashed: the drive took all 3 blocks."));
  EXPECT_TRUE(Has(gone.err, "the drive did not come back within 1 s")) << gone.err;
}

TEST_F(Flashtool, InterruptsWaitForTheOutcomeAndASecondFlashIsRefused) {
  vdrive::DriveConfig slow = Sr(0);
  slow.delayMs = 150;
  Drives({slow});
  std::string image = Image("slow.bin", 6 * 40960);
  int out = -1, err = -1;
  pid_t pid = Start({"flash", "/dev/sr0", image, "--yes"}, &out, &err);
  ASSERT_TRUE(WaitJournal("BLOCK", "idx=01"));

  Output second = Run({"flash", "/dev/sr0", image, "--yes"});
  EXPECT_EQ(second.code, 4);
  EXPECT_TRUE(Has(second.err, "/dev/sr0: busy: another flashtool is using it")) << second.err;

  kill(pid, SIGINT);
  Output first = Finish(pid, out, err);
  EXPECT_EQ(first.code, 0) << first.err;
  EXPECT_TRUE(Has(first.err, "interrupt held until the flash ends")) << first.err;
  EXPECT_TRUE(Has(first.out, "Flashed: the drive took all 6 blocks.\n"
                             "Interrupted: not waiting for the drive to come back."))
      << first.out;
  EXPECT_EQ(Journal("BLOCK").size(), 6u);
  EXPECT_EQ(Journal("FLASHED").size(), 1u);
}

// On a terminal: the question, the answer, progress redrawn in place, and
// Ctrl-C at the question ending it with nothing sent.
TEST_F(Flashtool, OnATerminalAsksForYesAndRedrawsProgress) {
  Drives({Sr(0)});
  std::string image = Image("tty.bin", 40961);
  auto onTerminal = [&](const std::string &typed, std::string *seen) {
    int master;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) Exec({"flash", "/dev/sr0", image});
    Clock::time_point deadline = Clock::now() + std::chrono::seconds(60);
    bool answered = false;
    char chunk[1024];
    while (Clock::now() < deadline) {
      struct pollfd fd = {master, POLLIN, 0};
      if (poll(&fd, 1, 100) <= 0) continue;
      ssize_t n = read(master, chunk, sizeof chunk);
      if (n <= 0) break;  // the program has ended and closed the terminal
      seen->append(chunk, n);
      if (!answered && Has(*seen, "Type YES")) {
        answered = true;
        write(master, typed.data(), typed.size());
      }
    }
    close(master);
    int status = 0;
    waitpid(pid, &status, 0);
    return CodeOf(status);
  };

  std::string seen;
  EXPECT_EQ(onTerminal("no\n", &seen), 3);
  EXPECT_TRUE(Has(seen, "not confirmed; nothing was sent")) << seen;
  seen.clear();
  EXPECT_EQ(onTerminal("\x03", &seen), 128 + SIGINT) << seen;
  EXPECT_EQ(Downloads(), 0u);

  seen.clear();
  EXPECT_EQ(onTerminal("YES\n", &seen), 0) << seen;
  EXPECT_TRUE(Has(seen, "Type YES to write " + image + " into /dev/sr0: YES")) << seen;
  EXPECT_TRUE(Has(seen, "\rBlock 1 of 2 (50%)\rBlock 2 of 2 (100%)\r\n")) << seen;
  EXPECT_EQ(Downloads(), 2u);
}

}  // namespace
