// The project's virtual drive behind the kernel's own SCSI target, for the
// real-kernel tier: target_core_user hands every command of a user
// backstore to this process through a ring in /dev/uioN, and tcm_loop
// shows that backstore to the kernel as a SCSI device, so flashtool reaches
// the drive through the real sr and sg drivers. The drive checks each
// block's signature, order and checksum as in the other tiers, and its
// journal gets a line per command ("CMD 55") besides the drive's own.
//   tcmu_vdrive /dev/uioN JOURNAL CONFIG
//
// The kernel's header comes first: it brings its own struct iovec, which
// glibc's headers must then not define again. It is C, whose enums take an
// integer, so this file is built with -fpermissive.
#include <cstddef>
#include <linux/target_core_user.h>
#define __iovec_defined 1

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "vdrive/vdrive.h"

namespace {

// TCMU does not say which way a command's data goes: the drive knows it by
// the operation code, as a real one does.
vdrive::Direction DirectionOf(uint8_t opcode, size_t length) {
  if (length == 0) return vdrive::DIR_NONE;
  switch (opcode) {
    case vdrive::DOWNLOAD_OPCODE:
    case 0x15:  // MODE SELECT(6)
    case 0x3B:  // WRITE BUFFER
      return vdrive::DIR_OUT;
    default:
      return vdrive::DIR_IN;
  }
}

// How many CDB bytes the kernel's target passes on: it sizes a CDB by its
// operation code's group, whatever length the initiator sent, so the
// 12-byte download command (55h, group 2) arrives as 10 bytes.
int GroupLength(uint8_t opcode) {
  static const int lengths[8] = {6, 10, 10, 12, 16, 12, 10, 10};  // the kernel's own table
  return lengths[opcode >> 5];
}

void Serve(uint8_t *base, tcmu_cmd_entry *entry, vdrive::Drive &drive, const std::string &journal) {
  // The answer overwrites the request in the entry: take all of it first.
  uint8_t cdb[16] = {};
  memcpy(cdb, base + entry->req.cdb_off, (size_t)GroupLength(base[entry->req.cdb_off]));
  int cdbLength = cdb[0] == vdrive::DOWNLOAD_OPCODE ? 12 : GroupLength(cdb[0]);
  std::vector<iovec> pieces(entry->req.iov_cnt);
  memcpy(pieces.data(), (const void *)entry->req.iov, pieces.size() * sizeof(iovec));
  std::vector<uint8_t> data;
  for (const iovec &piece : pieces) {
    const uint8_t *at = base + (size_t)piece.iov_base;
    data.insert(data.end(), at, at + piece.iov_len);
  }

  vdrive::Direction direction = DirectionOf(cdb[0], data.size());
  vdrive::AppendJournal(journal, vdrive::Format("CMD %02X len=%zu", cdb[0], data.size()));
  vdrive::Result result =
      drive.Execute(cdb, cdbLength, direction, data.empty() ? nullptr : data.data(), (uint32_t)data.size());
  for (const std::string &line : result.events) vdrive::AppendJournal(journal, line);
  if (result.delayMs > 0) usleep((useconds_t)result.delayMs * 1000);

  if (direction == vdrive::DIR_IN) {
    size_t done = 0;
    for (const iovec &piece : pieces) {
      size_t n = std::min(piece.iov_len, result.transferred > done ? result.transferred - done : 0);
      memcpy(base + (size_t)piece.iov_base, data.data() + done, n);
      done += n;
    }
    entry->hdr.uflags |= TCMU_UFLAG_READ_LEN;
    entry->rsp.read_len = (uint32_t)done;
  }
  entry->rsp.scsi_status = result.kind == vdrive::Result::COMPLETED ? result.scsiStatus : 0x08;  // BUSY
  memset(entry->rsp.sense_buffer, 0, TCMU_SENSE_BUFFERSIZE);
  memcpy(entry->rsp.sense_buffer, result.sense.data(),
         std::min(result.sense.size(), (size_t)TCMU_SENSE_BUFFERSIZE));
}

std::string ReadText(const std::string &path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: tcmu_vdrive /dev/uioN JOURNAL CONFIG\n");
    return 2;
  }
  std::string device = argv[1], journal = argv[2];
  vdrive::Config config;
  std::string why;
  if (!vdrive::ParseConfig(ReadText(argv[3]), &config, &why) || config.drives.empty()) {
    fprintf(stderr, "tcmu_vdrive: %s: %s\n", argv[3], why.empty() ? "no drive" : why.c_str());
    return 2;
  }
  vdrive::Drive drive(config.drives[0]);

  std::string name = device.substr(device.rfind('/') + 1);
  size_t size = strtoul(ReadText("/sys/class/uio/" + name + "/maps/map0/size").c_str(), nullptr, 0);
  int uio = open(device.c_str(), O_RDWR | O_CLOEXEC);
  void *map = uio >= 0 && size > 0 ? mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, uio, 0)
                                   : MAP_FAILED;
  if (map == MAP_FAILED) {
    perror(argv[1]);
    return 1;
  }
  auto *base = (uint8_t *)map;
  auto *mailbox = (tcmu_mailbox *)map;
  uint8_t *ring = base + mailbox->cmdr_off;
  // The ring first, then the wait: uio counts only the events after open(),
  // and the kernel may have queued a command before this process started.
  for (;;) {
    while (mailbox->cmd_tail != __atomic_load_n(&mailbox->cmd_head, __ATOMIC_ACQUIRE)) {
      auto *entry = (tcmu_cmd_entry *)(ring + mailbox->cmd_tail);
      uint32_t length = tcmu_hdr_get_len(entry->hdr.len_op);
      switch (tcmu_hdr_get_op(entry->hdr.len_op)) {
        case TCMU_OP_PAD:
          break;
        case TCMU_OP_CMD:
          Serve(base, entry, drive, journal);
          break;
        default:
          entry->hdr.uflags |= TCMU_UFLAG_UNKNOWN_OP;
      }
      __atomic_store_n(&mailbox->cmd_tail, (mailbox->cmd_tail + length) % mailbox->cmdr_size,
                       __ATOMIC_RELEASE);
    }
    uint32_t none = 0, events;
    if (write(uio, &none, sizeof none) != sizeof none) return 1;  // tells the kernel to collect
    if (read(uio, &events, sizeof events) != sizeof events) return 1;  // the device went away
  }
}
