// The module's own passwd and group line readers, for platforms whose libc
// has no fgetpwent_r / fgetgrent_r.  They are always compiled (so they are
// tested everywhere) and are used by map/reader.h where the build found the
// platform's readers missing.
//
// Same signatures and the same results as glibc's readers:
// - each call consumes lines up to and including the next record's line;
//   lines that are blank, start with '#' (after leading white space) or
//   don't parse are skipped;
// - every string of the record lives in `buffer`; a group's gr_mem is an
//   aligned, NULL-terminated pointer array placed in `buffer` after the line;
// - 0 on success with *out = result; otherwise the reason is returned, also
//   left in errno, and *out = NULL: ENOENT at the end of the data, ERANGE
//   when `buflen` is too small (the stream is put back at the start of the
//   record's line, so a retry with a larger buffer reads the same record),
//   the stream's error for a failed read.
//
// Line format: fields separated by ':'; "name:passwd:uid:gid:gecos:dir:shell"
// and "name:passwd:gid:member,member,...".  Numbers are decimal, may have
// leading white space and a sign (negative values wrap as in strtoul), and
// must fit 32 bits.  Missing trailing string fields are empty; anything after
// the sixth ':' of a passwd line belongs to the shell.  A name starting with
// '+' or '-' marks a compat entry: its ids may be empty (0), and a line that
// is just that name (with or without a ':') leaves every other string null.
// A final "\n" is dropped, a "\r" before it is kept.
#pragma once

#include <grp.h>
#include <pwd.h>
#include <stddef.h>
#include <stdio.h>

namespace vesk {

int own_fgetpwent_r(FILE *stream, struct passwd *result, char *buffer, size_t buflen,
                    struct passwd **out);

int own_fgetgrent_r(FILE *stream, struct group *result, char *buffer, size_t buflen,
                    struct group **out);

}  // namespace vesk
