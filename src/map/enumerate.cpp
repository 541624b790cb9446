// Enumeration: set / get / end for both databases, and the step that the
// keyed lookups also use as their linear scan.
#include <errno.h>

#include "map/database.h"
#include "map/files.h"

namespace vesk {

template <typename Record>
enum nss_status next_locked(Record *result, char *buffer, size_t buflen, int *errnop) {
  using Db = Database<Record>;
  FILE *&stream = Db::stream();
  if (stream == nullptr) {
    stream = open_map_stream(Db::map_path());
    if (stream == nullptr) return NSS_STATUS_UNAVAIL;
  }
  for (;;) {
    fpos_t pos;
    bool saved = fgetpos(stream, &pos) == 0;
    int err = read_record(stream, result, buffer, buflen);
    if (err == 0) {
      if (is_compat_name(Db::name(*result))) continue;
      return NSS_STATUS_SUCCESS;
    }
    if (err == ENOENT) {
      errno = 0;
      *errnop = 0;
      return NSS_STATUS_NOTFOUND;
    }
    // Put the stream back at the start of the record that failed: the caller
    // retries with a larger buffer and expects this record, not the next.
    if (saved) fsetpos(stream, &pos);
    errno = err;
    *errnop = err;
    return err == ERANGE ? NSS_STATUS_TRYAGAIN : NSS_STATUS_NOTFOUND;
  }
}

template enum nss_status next_locked(struct passwd *, char *, size_t, int *);
template enum nss_status next_locked(struct group *, char *, size_t, int *);

enum nss_status next_passwd_locked(struct passwd *result, char *buffer, size_t buflen,
                                   int *errnop) {
  return next_locked(result, buffer, buflen, errnop);
}

enum nss_status next_group_locked(struct group *result, char *buffer, size_t buflen,
                                  int *errnop) {
  return next_locked(result, buffer, buflen, errnop);
}

namespace {

template <typename Record>
enum nss_status set_ent() {
  LockGuard lock;
  FILE *&stream = Database<Record>::stream();
  close_stream(stream);  // never leak the descriptor of an earlier stream
  stream = open_map_stream(Database<Record>::map_path());
  return stream != nullptr ? NSS_STATUS_SUCCESS : NSS_STATUS_UNAVAIL;
}

template <typename Record>
enum nss_status get_ent(Record *result, char *buffer, size_t buflen, int *errnop) {
  LockGuard lock;
  return next_locked(result, buffer, buflen, errnop);
}

template <typename Record>
enum nss_status end_ent() {
  LockGuard lock;
  close_stream(Database<Record>::stream());
  return NSS_STATUS_SUCCESS;
}

}  // namespace
}  // namespace vesk

extern "C" {

enum nss_status _nss_vesk_setpwent(void) { return vesk::set_ent<struct passwd>(); }

enum nss_status _nss_vesk_getpwent_r(struct passwd *result, char *buffer, size_t buflen,
                                     int *errnop) {
  return vesk::get_ent(result, buffer, buflen, errnop);
}

enum nss_status _nss_vesk_endpwent(void) { return vesk::end_ent<struct passwd>(); }

enum nss_status _nss_vesk_setgrent(void) { return vesk::set_ent<struct group>(); }

enum nss_status _nss_vesk_getgrent_r(struct group *result, char *buffer, size_t buflen,
                                     int *errnop) {
  return vesk::get_ent(result, buffer, buflen, errnop);
}

enum nss_status _nss_vesk_endgrent(void) { return vesk::end_ent<struct group>(); }

}  // extern "C"
