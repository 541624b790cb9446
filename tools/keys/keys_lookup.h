// Finding a user's keys in the keys map (format: keys/key_line.h), for
// sshd's AuthorizedKeysCommand.  Plain C++ over libc and the module's
// search: no exceptions, no standard library containers, so the command
// that links it starts fast.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace vesk::keys {

// The keys found: authorized_keys lines, each ended by a newline.
struct KeysAnswer {
  char *data = nullptr;  // malloc'd; the caller frees it
  size_t len = 0, cap = 0;
  bool failed = false;  // a read failed or memory ran out
  void add(const char *p, size_t n);
};

// Appends to *out the keys of the lines of `map` for `user` whose uid
// field is `uid`.  The user's lines are found through `map`.ixname with the
// module's indexed search (one entry per user, at the first of the user's
// lines, which stand together); a missing, stale or disagreeing index
// makes it read the whole map instead, so the answer is always the map's.
// No map: no keys.  0 on success (keys or none), -1 with errno set when the
// map can't be read; *out then holds nothing to be used.
int lookup_keys(const char *map, const char *user, uint32_t uid, KeysAnswer *out);

}  // namespace vesk::keys
