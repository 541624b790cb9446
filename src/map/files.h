// Opening the files the module reads.
//
// Every open is read-only, close-on-exec and non-blocking, and only regular
// files are accepted: a FIFO, a device or a directory in place of a map or an
// index is refused at once instead of hanging the caller (a login, say)
// until some writer appears.
#pragma once

#include <stdio.h>
#include <sys/stat.h>

namespace vesk {

// Owns a file descriptor; closes it on scope exit.
struct Fd {
  int fd = -1;
  Fd() = default;
  explicit Fd(int f) : fd(f) {}
  ~Fd();
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;
  int release() {
    int f = fd;
    fd = -1;
    return f;
  }
};

// Opens `path` as above.  On success returns the descriptor and fills *st
// with its status; on failure returns -1 with errno set (EINVAL for a file
// that isn't regular).
int open_regular(const char *path, struct stat *st);

// Opens `path` as above and wraps it in a read-only stream; null on failure.
FILE *open_map_stream(const char *path);

// Wraps a descriptor from open_regular in a read-only stream, which then
// owns it; on failure the descriptor is closed and null returned.
FILE *stream_from_fd(int fd);

// Closes *stream if open and sets it to null.
void close_stream(FILE *&stream);

}  // namespace vesk
