// Module-wide state: map paths, the two enumeration streams and the lock.
//
// All of it is static data in its compiled-in form; nothing runs at load
// time.  module_lock guards the streams; the path buffers are not guarded
// (the setters write them without the lock, as documented in the header).
#pragma once

#include <pthread.h>
#include <stdio.h>

#include "nss_vesk.h"

namespace vesk {

// Path buffers hold at most NSS_VESK_PATH_MAX bytes; the last byte is always 0.
inline constexpr size_t kPathBufferSize = NSS_VESK_PATH_MAX + 1;

extern char passwd_map_path[kPathBufferSize];
extern char group_map_path[kPathBufferSize];

// Enumeration streams: null when none is open.
extern FILE *passwd_stream;
extern FILE *group_stream;

extern pthread_mutex_t module_lock;

// Holds module_lock for its scope.
struct LockGuard {
  LockGuard() { pthread_mutex_lock(&module_lock); }
  ~LockGuard() { pthread_mutex_unlock(&module_lock); }
  LockGuard(const LockGuard &) = delete;
  LockGuard &operator=(const LockGuard &) = delete;
};

// Copies at most NSS_VESK_PATH_MAX bytes of `src` into `dst` (a path buffer
// or a local copy of one), zero-filling the rest of those bytes, and returns
// the stored length.  dst[NSS_VESK_PATH_MAX] is left alone (it stays 0).
size_t copy_path(char *dst, const char *src);

}  // namespace vesk
