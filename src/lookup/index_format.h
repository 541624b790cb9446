// The index file format, shared by the module's search and the index tool.
//
// An index is a sequence of records of one length L, the length of the first
// line including its newline.  A record is: key bytes (no NUL, no newline),
// one NUL, the decimal byte offset of the key's line in the map file, filler
// that holds no digits or newlines, and a newline as its last byte.  Records
// are sorted by strcmp of their keys.  Every function here reads only inside
// the bounds it is given.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace vesk {

// The longest record an index may have.  A key is a name (at most 255
// bytes, as the tool writes them) or an id, and the offset at most 20
// digits; a first line longer than this is no index, and finding that out
// costs a bounded read instead of a search through the whole file.
inline constexpr size_t kMaxIndexRecordLength = 4096;

// L for an index of `size` bytes at `data`, or 0 when its first newline is
// not within the first kMaxIndexRecordLength bytes.
size_t index_record_length(const char *data, size_t size);

// Length of the key of the record at `record` (L bytes), or SIZE_MAX when
// no NUL precedes the record's last byte.
size_t index_key_length(const char *record, size_t record_len);

// The offset stored after a key of `key_len` bytes, read the way "%ld" reads
// a number but never past the record's last byte: leading white space, an
// optional sign, then digits (saturating at the limits of int64_t).  No digits
// give 0.
int64_t index_record_offset(const char *record, size_t record_len, size_t key_len);

}  // namespace vesk
