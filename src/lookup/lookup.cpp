// The four keyed lookups: the indexed search first, a linear scan of the map
// file when the index can't be used.  One template serves both databases and
// both key kinds.
#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "lookup/search.h"
#include "map/database.h"
#include "map/files.h"

namespace vesk {

namespace {

// Forms map path and index path from the database's map path.  False when
// the index path would be longer than NSS_VESK_PATH_MAX.
template <typename Record>
bool form_paths(const char *suffix, char (&map_path)[kPathBufferSize],
                char (&index_path)[kPathBufferSize]) {
  map_path[NSS_VESK_PATH_MAX] = '\0';
  size_t len = copy_path(map_path, Database<Record>::map_path());
  size_t suffix_len = strlen(suffix);
  if (len > NSS_VESK_PATH_MAX - suffix_len) return false;
  memcpy(index_path, map_path, len);
  memcpy(index_path + len, suffix, suffix_len + 1);
  return true;
}

// With module_lock held: the indexed search, then the scan if the index
// can't be used.  The database's enumeration stream is closed afterwards in
// every case, so an enumeration in progress starts over.
template <typename Record, typename Match>
enum nss_status search_then_scan(const IndexSearch &search, Match matches, int *errnop) {
  enum nss_status status = index_search(&search, errnop);
  FILE *&stream = Database<Record>::stream();
  if (status == NSS_STATUS_UNAVAIL) {
    close_stream(stream);
    stream = open_map_stream(search.map_path);
    if (stream != nullptr) {
      auto *result = static_cast<Record *>(search.result);
      do {
        status = next_locked(result, search.buffer, search.buffer_len, errnop);
      } while (status == NSS_STATUS_SUCCESS && !matches(*result));
    }
  }
  close_stream(stream);
  return status;
}

template <typename Record>
enum nss_status lookup_by_id(uint32_t id, Record *result, char *buffer, size_t buflen,
                             int *errnop) {
  using Db = Database<Record>;
  char map_path[kPathBufferSize];
  char index_path[kPathBufferSize];
  if (!form_paths<Record>(Db::id_suffix, map_path, index_path)) return NSS_STATUS_UNAVAIL;
  char key[12];  // "-2147483648" and its NUL
  int key_len = snprintf(key, sizeof key, "%d", static_cast<int32_t>(id));
  IndexSearch search{map_path, index_path, verify_id<Record>, &id,
                     result, buffer,      buflen, key, static_cast<size_t>(key_len)};
  LockGuard lock;
  return search_then_scan<Record>(
      search, [id](const Record &r) { return Db::id(r) == id; }, errnop);
}

template <typename Record>
enum nss_status lookup_by_name(const char *name, Record *result, char *buffer, size_t buflen,
                               int *errnop) {
  using Db = Database<Record>;
  // No record answers for a compat name (is_compat_name); as a fresh index
  // lacking the key would, this answers NOTFOUND without touching a file.
  if (is_compat_name(name)) return NSS_STATUS_NOTFOUND;
  LockGuard lock;
  size_t name_len = strlen(name);
  char *copy = static_cast<char *>(malloc(name_len + 1));
  if (copy == nullptr) return NSS_STATUS_UNAVAIL;
  memcpy(copy, name, name_len + 1);
  char map_path[kPathBufferSize];
  char index_path[kPathBufferSize];
  enum nss_status status = NSS_STATUS_UNAVAIL;
  if (form_paths<Record>(NSS_VESK_SUFFIX_NAME, map_path, index_path)) {
    IndexSearch search{map_path, index_path, verify_name<Record>, copy, result, buffer, buflen, copy, name_len};
    status = search_then_scan<Record>(
        search, [name](const Record &r) { return strcmp(Db::name(r), name) == 0; }, errnop);
  }
  free(copy);
  return status;
}

}  // namespace
}  // namespace vesk

extern "C" {

enum nss_status _nss_vesk_getpwnam_r(const char *name, struct passwd *result, char *buffer,
                                     size_t buflen, int *errnop) {
  return vesk::lookup_by_name(name, result, buffer, buflen, errnop);
}

enum nss_status _nss_vesk_getpwuid_r(uid_t uid, struct passwd *result, char *buffer,
                                     size_t buflen, int *errnop) {
  return vesk::lookup_by_id(uid, result, buffer, buflen, errnop);
}

enum nss_status _nss_vesk_getgrnam_r(const char *name, struct group *result, char *buffer,
                                     size_t buflen, int *errnop) {
  return vesk::lookup_by_name(name, result, buffer, buflen, errnop);
}

enum nss_status _nss_vesk_getgrgid_r(gid_t gid, struct group *result, char *buffer,
                                     size_t buflen, int *errnop) {
  if (buflen < NSS_VESK_GRGID_MIN_BUFLEN) {
    *errnop = ERANGE;
    return NSS_STATUS_TRYAGAIN;
  }
  return vesk::lookup_by_id(gid, result, buffer, buflen, errnop);
}

}  // extern "C"
