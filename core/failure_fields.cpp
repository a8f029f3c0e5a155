#include "core/failure_fields.h"

#include <cstdio>

const int MAX_CDB_LENGTH = 16;
enum {
  CHECK_CONDITION = 2,
  SENSE_KEY_BYTE = 2, ASC_BYTE = 12, ASCQ_BYTE = 13
};

enum { FIELD_TARGET, FIELD_CDB, FIELD_HA_STATUS, FIELD_TARGET_STATUS,
       FIELD_SENSE_KEY, FIELD_ASC, FIELD_ASCQ };

static void FormatNumber(char *field, unsigned value) {
  snprintf(field, FAILURE_FIELD_SIZE, "%u", value);
}

void FormatFailureFields(const FailureView &view, const char *notAvailable,
                         char fields[FAILURE_FIELD_COUNT][FAILURE_FIELD_SIZE]) {
  FormatNumber(fields[FIELD_TARGET], view.target);

  // The request holds 16 CDB bytes whatever its length byte claims.
  int cdbLength = view.cdbLength < MAX_CDB_LENGTH ? view.cdbLength : MAX_CDB_LENGTH;
  char *cdbText = fields[FIELD_CDB];
  cdbText[0] = '\0';
  for (int i = 0; i < cdbLength; ++i) {
    snprintf(cdbText + 3 * i, FAILURE_FIELD_SIZE - 3 * i, "%02X ", (unsigned)view.cdb[i]);
  }

  FormatNumber(fields[FIELD_HA_STATUS], view.hostAdapterStatus);
  FormatNumber(fields[FIELD_TARGET_STATUS], view.targetStatus);

  // Sense data means something only after CHECK CONDITION.
  if (view.targetStatus == CHECK_CONDITION) {
    FormatNumber(fields[FIELD_SENSE_KEY], view.sense[SENSE_KEY_BYTE] & 0x0F);
    FormatNumber(fields[FIELD_ASC], view.sense[ASC_BYTE]);
    FormatNumber(fields[FIELD_ASCQ], view.sense[ASCQ_BYTE]);
  } else {
    for (int field = FIELD_SENSE_KEY; field <= FIELD_ASCQ; ++field) {
      snprintf(fields[field], FAILURE_FIELD_SIZE, "%s", notAvailable);
    }
  }
}
