// The line readers: one passwd or group line from a stream into a record
// whose strings all live in the caller's buffer.
//
// Contract the module relies on: each call consumes the next record's line
// (comments, blank lines and malformed lines are skipped), returns 0 with
// *out set on success, and otherwise returns non-zero with errno set:
// ENOENT at the end of the data, ERANGE when the buffer is too small (the
// line is not consumed), anything else for other failures.
#pragma once

#include <grp.h>
#include <pwd.h>
#include <stdio.h>

#include "map/line_reader.h"

// The build defines VESK_HAVE_FGETPWENT_R / VESK_HAVE_FGETGRENT_R where libc
// has the readers.  Elsewhere (the BSDs) the module brings its own rather
// than leave an unresolved symbol for every process that looks up a user.
namespace vesk {

inline int read_passwd_line(FILE *stream, struct passwd *result, char *buffer, size_t buflen,
                            struct passwd **out) {
#ifdef VESK_HAVE_FGETPWENT_R
  return fgetpwent_r(stream, result, buffer, buflen, out);
#else
  return own_fgetpwent_r(stream, result, buffer, buflen, out);
#endif
}

inline int read_group_line(FILE *stream, struct group *result, char *buffer, size_t buflen,
                           struct group **out) {
#ifdef VESK_HAVE_FGETGRENT_R
  return fgetgrent_r(stream, result, buffer, buflen, out);
#else
  return own_fgetgrent_r(stream, result, buffer, buflen, out);
#endif
}

}  // namespace vesk
