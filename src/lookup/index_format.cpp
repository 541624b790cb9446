#include "lookup/index_format.h"

#include <string.h>

namespace vesk {

size_t index_record_length(const char *data, size_t size) {
  const void *nl = memchr(data, '\n', size < kMaxIndexRecordLength ? size : kMaxIndexRecordLength);
  return nl == nullptr ? 0 : static_cast<size_t>(static_cast<const char *>(nl) - data) + 1;
}

size_t index_key_length(const char *record, size_t record_len) {
  if (record_len == 0) return SIZE_MAX;
  const void *nul = memchr(record, '\0', record_len - 1);
  return nul == nullptr ? SIZE_MAX : static_cast<size_t>(static_cast<const char *>(nul) - record);
}

int64_t index_record_offset(const char *record, size_t record_len, size_t key_len) {
  const char *p = record + key_len + 1;
  const char *end = record + record_len - 1;  // the record's last byte ends the number
  while (p < end && (*p == ' ' || (*p >= '\t' && *p <= '\r'))) ++p;
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
  if (p >= end || *p < '0' || *p > '9') return 0;
  uint64_t limit = negative ? uint64_t{INT64_MAX} + 1 : uint64_t{INT64_MAX};
  uint64_t value = 0;
  for (; p < end && *p >= '0' && *p <= '9'; ++p) {
    unsigned digit = static_cast<unsigned>(*p - '0');
    value = (value > (limit - digit) / 10) ? limit : value * 10 + digit;
  }
  return negative ? static_cast<int64_t>(0 - value) : static_cast<int64_t>(value);
}

}  // namespace vesk
