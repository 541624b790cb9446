// The indexed search: binary search in a mapped index, then one record read
// from the map file at the stored offset and verified.
#include "lookup/search.h"

#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "lookup/index_format.h"
#include "map/database.h"
#include "map/files.h"

namespace vesk {

namespace {

// A read-only private mapping, unmapped on scope exit.
struct Mapping {
  void *addr = MAP_FAILED;
  size_t len = 0;
  Mapping(int fd, size_t length) : len(length) {
    addr = mmap(nullptr, length, PROT_READ, MAP_PRIVATE, fd, 0);
  }
  ~Mapping() {
    if (addr != MAP_FAILED) munmap(addr, len);
  }
  Mapping(const Mapping &) = delete;
  Mapping &operator=(const Mapping &) = delete;
  bool ok() const { return addr != MAP_FAILED; }
  const char *data() const { return static_cast<const char *>(addr); }
};

// What bsearch compares against: the search and the record length, which
// bounds every read of a record.  A record whose key lacks its NUL stops the
// search (it compares "equal") and marks the index as malformed.
struct IndexKey {
  const IndexSearch *search;
  size_t record_len;
  mutable bool malformed;
};

int compare_index_key(const void *key, const void *element) {
  const auto *k = static_cast<const IndexKey *>(key);
  const char *record = static_cast<const char *>(element);
  if (index_key_length(record, k->record_len) == SIZE_MAX) {
    k->malformed = true;
    return 0;
  }
  return strcmp(k->search->key, record);  // stops at the record key's NUL
}

// Maps the index (`fd`, `size` bytes), finds search->key by binary search
// and reads the offset stored beside it.  The mapping is gone when this
// returns.  SUCCESS means *offset is set.
enum nss_status find_offset(const IndexSearch *search, int fd, off_t size_field,
                            int64_t *offset) {
  if (size_field <= 0 || static_cast<uint64_t>(size_field) > SIZE_MAX)
    return NSS_STATUS_UNAVAIL;  // an empty index can't be mapped
  size_t size = static_cast<size_t>(size_field);
  Mapping mapping(fd, size);
  if (!mapping.ok()) return NSS_STATUS_UNAVAIL;

  size_t record_len = index_record_length(mapping.data(), size);
  if (record_len == 0) return NSS_STATUS_UNAVAIL;  // no newline: not an index
  IndexKey key{search, record_len, false};
  const char *record = static_cast<const char *>(
      bsearch(&key, mapping.data(), size / record_len, record_len, compare_index_key));
  if (key.malformed || (record != nullptr && record[record_len - 1] != '\n'))
    return NSS_STATUS_UNAVAIL;
  if (record == nullptr) return NSS_STATUS_NOTFOUND;
  *offset = index_record_offset(record, record_len, strlen(record));
  return NSS_STATUS_SUCCESS;
}

// Seeks `map` to `offset` if a line starts there.  An entry must name the
// first byte of a line: read from the middle of one (an index of another
// generation of the map, say), the line's tail can parse as a record that
// passes verification, e.g. "malice:x:1002:..." read from its second byte
// is a user "alice" with malice's uid.
//
// `map` must be freshly opened (at position 0, nothing read), so a seek
// relative to the current position lands where an absolute one would.  It
// is cheaper: glibc serves an absolute seek on a fresh stream with a
// block-aligned lseek and a read() of the bytes before the offset, then a
// second read() for the line itself; the relative seek is one lseek(), and
// the one read() that follows starts at the line.
bool seek_line_start(FILE *map, int64_t offset) {
  if (offset == 0) return fseeko(map, 0, SEEK_CUR) == 0;
  if (fseeko(map, static_cast<off_t>(offset - 1), SEEK_CUR) != 0) return false;
  return getc(map) == '\n';
}

}  // namespace

template <typename Record>
VerifyOutcome verify_id(FILE *map, const IndexSearch *search) {
  auto *result = static_cast<Record *>(search->result);
  if (read_record(map, result, search->buffer, search->buffer_len) != 0) return ReadFailed;
  // A compat line is never the record asked for; the scan passes over it.
  if (is_compat_name(Database<Record>::name(*result))) return RecordBelow;
  uint32_t wanted = *static_cast<const uint32_t *>(search->wanted);
  uint32_t got = Database<Record>::id(*result);
  return got == wanted ? Equal : got > wanted ? RecordAbove : RecordBelow;
}

template <typename Record>
VerifyOutcome verify_name(FILE *map, const IndexSearch *search) {
  auto *result = static_cast<Record *>(search->result);
  if (read_record(map, result, search->buffer, search->buffer_len) != 0) return ReadFailed;
  if (is_compat_name(Database<Record>::name(*result))) return RecordBelow;
  const char *wanted = static_cast<const char *>(search->wanted);
  const char *got = Database<Record>::name(*result);
  int order = strcoll(got, wanted);
  // A name that merely collates equal is not the name asked for.
  if (order == 0) order = strcmp(got, wanted);
  return order == 0 ? Equal : order > 0 ? RecordAbove : RecordBelow;
}

template VerifyOutcome verify_id<passwd>(FILE *, const IndexSearch *);
template VerifyOutcome verify_id<group>(FILE *, const IndexSearch *);
template VerifyOutcome verify_name<passwd>(FILE *, const IndexSearch *);
template VerifyOutcome verify_name<group>(FILE *, const IndexSearch *);

enum nss_status index_search(const IndexSearch *search, int *errnop) {
  struct stat index_st;
  Fd index(open_regular(search->index_path, &index_st));
  if (index.fd < 0) return NSS_STATUS_UNAVAIL;
  // The map is opened before the search, and its age is taken from the open
  // descriptor: the file judged fresh is the file the record is read from,
  // even if the map is renamed over meanwhile.
  struct stat map_st;
  Fd map_fd(open_regular(search->map_path, &map_st));
  if (map_fd.fd < 0) return NSS_STATUS_UNAVAIL;
  // Whole seconds: an index written in the same second as its map is fresh.
  if (difftime(map_st.st_mtime, index_st.st_mtime) > 0.0) return NSS_STATUS_UNAVAIL;

  int64_t offset = 0;
  enum nss_status status = find_offset(search, index.fd, index_st.st_size, &offset);
  close(index.release());
  if (status != NSS_STATUS_SUCCESS) return status;

  FILE *map = stream_from_fd(map_fd.release());
  if (map == nullptr) return NSS_STATUS_UNAVAIL;
  // One record is read: a stack buffer spares stdio its allocation and the
  // fstat it would make to size one.
  char io_buffer[4096];
  setvbuf(map, io_buffer, _IOFBF, sizeof io_buffer);

  status = NSS_STATUS_UNAVAIL;  // another record, or none readable, at the offset
  if (offset >= 0 && seek_line_start(map, offset)) {
    VerifyOutcome outcome = search->verify(map, search);
    if (outcome == Equal) {
      status = NSS_STATUS_SUCCESS;
    } else if (outcome == ReadFailed && errno == ERANGE) {
      *errnop = ERANGE;
      status = NSS_STATUS_TRYAGAIN;
    }
  }
  int saved = errno;
  fclose(map);
  errno = saved;
  return status;
}

}  // namespace vesk

extern "C" enum nss_status _nss_vesk_bsearch2(const IndexSearch *search, int *errnop) {
  return vesk::index_search(search, errnop);
}
