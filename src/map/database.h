// What differs between the passwd and group databases, gathered in one
// place so that enumeration, the indexed search and the keyed lookups are
// written once as templates over Database<passwd> and Database<group>.
#pragma once

#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <stdint.h>
#include <stdio.h>

#include "map/reader.h"
#include "map/state.h"

namespace vesk {

// A name beginning with '+' or '-' is a compat line (an include or exclude
// directive of the old NIS syntax), not an account.  glibc's `files` source
// never answers for one, and neither does this module: not in enumeration,
// not in a keyed lookup, not in a group membership.  A map holding such a
// line (one put in place by hand: install refuses it) must not turn
// "+mallory::0:0:..." into a user with uid 0.
inline bool is_compat_name(const char *name) { return name[0] == '+' || name[0] == '-'; }

template <typename Record>
struct Database;

template <>
struct Database<struct passwd> {
  using Record = struct passwd;
  static char *map_path() { return passwd_map_path; }
  static FILE *&stream() { return passwd_stream; }
  static constexpr const char *id_suffix = NSS_VESK_SUFFIX_UID;
  static int read(FILE *f, Record *r, char *buf, size_t len, Record **out) {
    return read_passwd_line(f, r, buf, len, out);
  }
  static uint32_t id(const Record &r) { return r.pw_uid; }
  static const char *name(const Record &r) { return r.pw_name; }
};

template <>
struct Database<struct group> {
  using Record = struct group;
  static char *map_path() { return group_map_path; }
  static FILE *&stream() { return group_stream; }
  static constexpr const char *id_suffix = NSS_VESK_SUFFIX_GID;
  static int read(FILE *f, Record *r, char *buf, size_t len, Record **out) {
    return read_group_line(f, r, buf, len, out);
  }
  static uint32_t id(const Record &r) { return r.gr_gid; }
  static const char *name(const Record &r) { return r.gr_name; }
};

// Reads one record with the database's line reader.  Returns 0 on success,
// otherwise the reason (ENOENT, ERANGE, ...), which is also left in errno.
template <typename Record>
int read_record(FILE *stream, Record *result, char *buffer, size_t buflen) {
  Record *out = nullptr;
  int rc = Database<Record>::read(stream, result, buffer, buflen, &out);
  if (rc == 0 && out != nullptr) return 0;
  int err = rc > 0 ? rc : (errno != 0 ? errno : ENOENT);
  errno = err;
  return err;
}

// The enumeration step: reads the next record of the database's stream,
// opening the map file first if no stream is open.  The caller holds
// module_lock.  A failed read other than at the end of the data leaves the
// stream where it was, so a retry with a larger buffer reads the same record.
// Compat lines (see is_compat_name) are passed over.
template <typename Record>
enum nss_status next_locked(Record *result, char *buffer, size_t buflen, int *errnop);

enum nss_status next_passwd_locked(struct passwd *result, char *buffer, size_t buflen,
                                   int *errnop);
enum nss_status next_group_locked(struct group *result, char *buffer, size_t buflen,
                                  int *errnop);

}  // namespace vesk
