#include "core/scsi.h"

#include <cstring>

#include "core/blocks.h"

SenseCodes ParseSense(const uint8_t *sense, size_t length) {
  SenseCodes codes;
  if (length < 1) return codes;
  uint8_t format = sense[0] & 0x7F;
  if ((format == 0x70 || format == 0x71) && length > 2) {
    // Fixed: key in byte 2, ASC and ASCQ in bytes 12 and 13 when sent.
    codes.valid = true;
    codes.key = sense[2] & 0x0F;
    if (length > 12) codes.asc = sense[12];
    if (length > 13) codes.ascq = sense[13];
  } else if ((format == 0x72 || format == 0x73) && length > 1) {
    // Descriptor: key, ASC and ASCQ in bytes 1 to 3.
    codes.valid = true;
    codes.key = sense[1] & 0x0F;
    if (length > 2) codes.asc = sense[2];
    if (length > 3) codes.ascq = sense[3];
  }
  return codes;
}

void SetResidual(CommandResult &result, const ScsiCommand &command, uint32_t residual) {
  uint32_t asked = command.data != nullptr ? command.length : 0;
  result.residual = residual > asked ? asked : residual;
  if (command.direction == DATA_IN) result.transferred = asked - result.residual;
  if (command.direction == DATA_OUT && result.residual > 0 && result.Succeeded())
    result.kind = CommandResult::SHORT_TRANSFER;
}

static ScsiCommand Command(uint8_t length, DataDirection direction, uint8_t *data,
                           uint32_t transfer, uint32_t timeout) {
  ScsiCommand command;
  memset(&command, 0, sizeof command);
  command.cdbLength = length;
  command.direction = direction;
  command.data = data;
  command.length = transfer;
  command.timeoutSeconds = timeout;
  return command;
}

ScsiCommand InquiryCommand(uint8_t *data, uint8_t allocationLength, uint32_t timeoutSeconds) {
  ScsiCommand command = Command(6, DATA_IN, data, allocationLength, timeoutSeconds);
  command.cdb[0] = 0x12;              // INQUIRY
  command.cdb[4] = allocationLength;  // bytes 1 to 3: standard data, page 0
  return command;
}

ScsiCommand InquiryPageCommand(uint8_t page, uint8_t *data, uint8_t allocationLength, uint32_t timeoutSeconds) {
  ScsiCommand command = InquiryCommand(data, allocationLength, timeoutSeconds);
  command.cdb[1] = 0x01;  // EVPD: the page in byte 2 instead of standard data
  command.cdb[2] = page;
  return command;
}

ScsiCommand TestUnitReadyCommand(uint32_t timeoutSeconds) {
  // six zero bytes
  return Command(6, DATA_NONE, nullptr, 0,
                 timeoutSeconds != 0 ? timeoutSeconds : (uint32_t)READY_TIMEOUT_S);
}

enum { NOT_READY = 0x2, UNIT_ATTENTION = 0x6, MEDIUM_NOT_PRESENT = 0x3A };

bool DriveAnswersReady(const CommandResult &result) {
  if (result.Succeeded()) return true;
  return result.kind == CommandResult::DONE && result.scsiStatus == CHECK_CONDITION &&
         result.SenseKey() == NOT_READY && result.AdditionalSenseCode() == MEDIUM_NOT_PRESENT;
}

CommandResult ClearUnitAttention(DriveLink &link) {
  CommandResult result;
  for (int tries = 0; tries < UNIT_ATTENTION_TRIES; ++tries) {
    result = link.Run(TestUnitReadyCommand());
    bool attention = result.kind == CommandResult::DONE && result.scsiStatus == CHECK_CONDITION &&
                     result.SenseKey() == UNIT_ATTENTION;
    if (!attention) break;
  }
  if (DriveAnswersReady(result)) return CommandResult();
  return result;
}

ScsiCommand DownloadCommand(uint8_t index, uint16_t checksum, uint8_t *block,
                            uint32_t timeoutSeconds) {
  ScsiCommand command = Command(DOWNLOAD_CDB_LENGTH, DATA_OUT, block, BLOCK_SIZE, timeoutSeconds);
  BuildDownloadCommand(index, BLOCK_SIZE, checksum, command.cdb);
  return command;
}

void BuildDownloadCommand(uint8_t index, uint16_t dataLength, uint16_t checksum,
                          uint8_t cdb[DOWNLOAD_CDB_LENGTH]) {
  cdb[0] = 0x55;  // vendor download operation code
  cdb[1] = 0x00;
  cdb[2] = '+';   // signature the firmware loader checks: "+API"
  cdb[3] = 'A';
  cdb[4] = 'P';
  cdb[5] = 'I';
  cdb[6] = index;
  cdb[7] = (uint8_t)(dataLength >> 8);  // big-endian, as SCSI fields are
  cdb[8] = (uint8_t)(dataLength & 0xFF);
  cdb[9] = (uint8_t)(checksum >> 8);    // running sum including this block
  cdb[10] = (uint8_t)(checksum & 0xFF);
  cdb[11] = 0x00;
}

CommandResult AskIdentity(DriveLink &link, DriveIdentity *identity, std::string *serial,
                          uint32_t timeoutSeconds) {
  uint8_t data[INQUIRY_ALLOCATION] = {};
  CommandResult result = link.Run(InquiryCommand(data, INQUIRY_ALLOCATION, timeoutSeconds));
  if (!result.Succeeded()) return result;
  // A transport that cannot tell the length read gives 0: the zeroed
  // buffer then stands for what did not arrive.
  *identity = ParseInquiry(data, result.transferred != 0 ? result.transferred : sizeof data);
  if (serial != nullptr) {
    uint8_t page[SERIAL_ALLOCATION] = {};
    CommandResult asked = link.Run(InquiryPageCommand(SERIAL_PAGE, page, sizeof page, timeoutSeconds));
    serial->clear();
    if (asked.Succeeded()) *serial = ParseSerialPage(page, asked.transferred);
  }
  return result;
}
