/* nss_vesk.h - exported interface of the vesk name-service module.
 *
 * The module answers passwd and group queries from the flat map files
 * "/etc/passwd.vesk" and "/etc/group.vesk", using sorted index files beside
 * them (".ixname", ".ixuid", ".ixgid") for keyed lookups.  Every function
 * here has C linkage and an unmangled name; this header is usable from C and
 * C++.  The module writes nothing, logs nothing and reads no environment.
 */
#ifndef NSS_VESK_H
#define NSS_VESK_H

#include <grp.h>
#include <pwd.h>
#include <stddef.h>
#include <stdio.h>
#include <sys/types.h>

#if defined(__has_include)
#if __has_include(<nss.h>)
#include <nss.h>
#define NSS_VESK_HAVE_NSS_H 1
#endif
#endif

#ifndef NSS_VESK_HAVE_NSS_H
/* The same four values as glibc's name-service status. */
enum nss_status {
  NSS_STATUS_TRYAGAIN = -2,
  NSS_STATUS_UNAVAIL = -1,
  NSS_STATUS_NOTFOUND = 0,
  NSS_STATUS_SUCCESS = 1
};
#endif

#if defined(__GNUC__)
#define NSS_VESK_EXPORT __attribute__((visibility("default")))
#else
#define NSS_VESK_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Compiled-in map paths; the index paths are these followed by a suffix. */
#define NSS_VESK_PASSWD_MAP "/etc/passwd.vesk"
#define NSS_VESK_GROUP_MAP "/etc/group.vesk"
/* The keys map of SSH public keys, which sshd's command reads (the module
 * itself does not). */
#define NSS_VESK_KEYS_MAP "/etc/sshkeys.vesk"
#define NSS_VESK_SUFFIX_NAME ".ixname"
#define NSS_VESK_SUFFIX_UID ".ixuid"
#define NSS_VESK_SUFFIX_GID ".ixgid"

/* Longest stored map path; longer paths given to the setters are cut. */
#define NSS_VESK_PATH_MAX 254

/* What a verifier says about the record found at an index entry's offset. */
typedef enum VerifyOutcome {
  Equal = 0,       /* the record read is the one wanted */
  RecordAbove = 1, /* its id or name sorts after the wanted one */
  RecordBelow = 2, /* its id or name sorts before the wanted one */
  ReadFailed = 3   /* no record could be read; errno says why */
} VerifyOutcome;

typedef struct IndexSearch IndexSearch;

/* One keyed query against a map file and its index.  The field order is part
 * of the ABI of _nss_vesk_bsearch2. */
struct IndexSearch {
  const char *map_path;   /* the map file */
  const char *index_path; /* its index file */
  /* Reads one record from the map stream (positioned at an index entry's
   * offset) into result/buffer and compares it with `wanted`. */
  VerifyOutcome (*verify)(FILE *map, const IndexSearch *search);
  const void *wanted;     /* id lookups: points at the 32-bit id; name lookups: the name */
  void *result;           /* struct passwd * or struct group * */
  char *buffer;           /* the caller's buffer for the record's strings */
  size_t buffer_len;
  const char *key;        /* search key as the index stores it, NUL-terminated */
  size_t key_len;
};

/* Map path setters: store at most NSS_VESK_PATH_MAX bytes and zero-fill the
 * rest.  They take no lock and leave an open enumeration stream alone. */
NSS_VESK_EXPORT void _nss_vesk_setpwent_path(const char *path);
NSS_VESK_EXPORT void _nss_vesk_setgrent_path(const char *path);

/* Enumeration, one stream per database shared by all threads. */
NSS_VESK_EXPORT enum nss_status _nss_vesk_setpwent(void);
NSS_VESK_EXPORT enum nss_status _nss_vesk_getpwent_r(struct passwd *result, char *buffer, size_t buflen,
                                     int *errnop);
NSS_VESK_EXPORT enum nss_status _nss_vesk_endpwent(void);
NSS_VESK_EXPORT enum nss_status _nss_vesk_setgrent(void);
NSS_VESK_EXPORT enum nss_status _nss_vesk_getgrent_r(struct group *result, char *buffer, size_t buflen,
                                     int *errnop);
NSS_VESK_EXPORT enum nss_status _nss_vesk_endgrent(void);

/* Keyed lookups: the index first, a linear scan of the map when the index
 * can't be used.  _nss_vesk_getgrgid_r demands buflen >= NSS_VESK_GRGID_MIN_BUFLEN. */
#define NSS_VESK_GRGID_MIN_BUFLEN 1048576
NSS_VESK_EXPORT enum nss_status _nss_vesk_getpwnam_r(const char *name, struct passwd *result, char *buffer,
                                     size_t buflen, int *errnop);
NSS_VESK_EXPORT enum nss_status _nss_vesk_getpwuid_r(uid_t uid, struct passwd *result, char *buffer,
                                     size_t buflen, int *errnop);
NSS_VESK_EXPORT enum nss_status _nss_vesk_getgrnam_r(const char *name, struct group *result, char *buffer,
                                     size_t buflen, int *errnop);
NSS_VESK_EXPORT enum nss_status _nss_vesk_getgrgid_r(gid_t gid, struct group *result, char *buffer,
                                     size_t buflen, int *errnop);

/* The indexed search.  SUCCESS: the record is in result/buffer.  NOTFOUND:
 * a fresh index lacks the key.  TRYAGAIN (*errnop = ERANGE): the record does
 * not fit the buffer.  UNAVAIL: the index can't be used; scan the map. */
NSS_VESK_EXPORT enum nss_status _nss_vesk_bsearch2(const IndexSearch *search, int *errnop);

/* Supplementary groups of `user`: appends to (*groupsp)[*start...] the gid of
 * every group map record listing `user` as a member, except `group`, growing
 * the array with realloc (never beyond `limit` entries when limit > 0).
 * SUCCESS after the pass; UNAVAIL when the map can't be opened (*errnop
 * untouched) or read; TRYAGAIN with *errnop = ENOMEM when the array can't
 * grow.  On failure *start is as it was on entry. */
NSS_VESK_EXPORT enum nss_status _nss_vesk_initgroups_dyn(const char *user, gid_t group, long int *start,
                                         long int *size, gid_t **groupsp, long int limit,
                                         int *errnop);

#ifdef __cplusplus
}
#endif

#endif /* NSS_VESK_H */
