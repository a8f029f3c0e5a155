// The texts of the command failure dialog's value fields. Portable.
#ifndef FLASHTOOL_CORE_FAILURE_FIELDS_H
#define FLASHTOOL_CORE_FAILURE_FIELDS_H

#include <cstdint>

enum { FAILURE_FIELD_COUNT = 7, FAILURE_FIELD_SIZE = 256 };

// What the dialog shows of one failed execute request.
struct FailureView {
  uint8_t target;
  uint8_t cdbLength;        // as the request says; at most 16 bytes are shown
  const uint8_t *cdb;       // 16 bytes
  uint8_t hostAdapterStatus;
  uint8_t targetStatus;
  const uint8_t *sense;     // at least 14 bytes
};

// Fills the seven texts in field order (target, CDB, host adapter status,
// target status, sense key, ASC, ASCQ); the sense fields get `notAvailable`
// unless the target status is CHECK CONDITION.
void FormatFailureFields(const FailureView &view, const char *notAvailable,
                         char fields[FAILURE_FIELD_COUNT][FAILURE_FIELD_SIZE]);

#endif
