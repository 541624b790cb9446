#include "map/files.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

namespace vesk {

namespace {

constexpr int kOpenFlags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;

}  // namespace

FILE *stream_from_fd(int fd) {
  if (fd < 0) return nullptr;
  FILE *f = fdopen(fd, "r");
  if (f == nullptr) {
    int saved = errno;
    close(fd);
    errno = saved;
  }
  return f;
}

Fd::~Fd() {
  if (fd >= 0) close(fd);
}

int open_regular(const char *path, struct stat *st) {
  Fd f(open(path, kOpenFlags));
  if (f.fd < 0) return -1;
  if (fstat(f.fd, st) != 0) return -1;
  if (!S_ISREG(st->st_mode)) {
    errno = EINVAL;
    return -1;
  }
  return f.release();
}

FILE *open_map_stream(const char *path) {
  struct stat st;
  FILE *f = stream_from_fd(open_regular(path, &st));
  // A stream made from a descriptor doesn't know its position, so every
  // fgetpos/ftello (one or two per record read) would ask the kernel.  An
  // explicit seek to the start tells it once.
  if (f != nullptr && fseeko(f, 0, SEEK_SET) != 0) {
    fclose(f);
    return nullptr;
  }
  return f;
}

void close_stream(FILE *&stream) {
  if (stream != nullptr) {
    fclose(stream);
    stream = nullptr;
  }
}

}  // namespace vesk
