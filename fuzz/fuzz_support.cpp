#include "fuzz_support.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vesk_fuzz {

namespace {

std::string make_scratch_dir() {
  const char *base = getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/vesk-fuzz-XXXXXX";
  if (mkdtemp(tmpl.data()) == nullptr) {
    perror("mkdtemp");
    abort();
  }
  return tmpl;
}

void remove_scratch_dir() {
  std::string cmd = "rm -rf '" + scratch_dir() + "'";
  if (system(cmd.c_str()) != 0) {
    // A leftover scratch directory is harmless.
  }
}

bool inside(const void *p, size_t n, const char *buffer, size_t buflen) {
  auto a = reinterpret_cast<uintptr_t>(p), b = reinterpret_cast<uintptr_t>(buffer);
  return a >= b && n <= buflen && a - b <= buflen - n;
}

void check_string(const char *s, const char *buffer, size_t buflen) {
  if (s == nullptr) return;
  if (!inside(s, 1, buffer, buflen)) {
    fprintf(stderr, "record string outside the caller's buffer\n");
    abort();
  }
  size_t room = buflen - static_cast<size_t>(s - buffer);
  if (memchr(s, '\0', room) == nullptr) {
    fprintf(stderr, "record string not terminated inside the caller's buffer\n");
    abort();
  }
}

}  // namespace

const std::string &scratch_dir() {
  static const std::string dir = [] {
    std::string d = make_scratch_dir();
    return d;
  }();
  static const bool registered = atexit(remove_scratch_dir) == 0;
  (void)registered;
  return dir;
}

std::string scratch_file(const char *name) { return scratch_dir() + "/" + name; }

void write_file(const std::string &path, const uint8_t *data, size_t size, time_t mtime) {
  std::string tmp = path + ".tmp";
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    perror("open");
    abort();
  }
  size_t done = 0;
  while (done < size) {
    ssize_t n = write(fd, data + done, size - done);
    if (n <= 0) {
      perror("write");
      abort();
    }
    done += static_cast<size_t>(n);
  }
  struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
  futimens(fd, times);
  close(fd);
  // A rename gives the file a new inode every time, as a sync tool would.
  if (rename(tmp.c_str(), path.c_str()) != 0) {
    perror("rename");
    abort();
  }
}

int lowest_free_fd() {
  int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (fd >= 0) close(fd);
  return fd;
}

void check_no_new_descriptor(int &baseline) {
  for (;;) {
    int fd = lowest_free_fd();
    if (fd == baseline) return;
    char link[64], target[512] = "";
    snprintf(link, sizeof link, "/proc/self/fd/%d", baseline);
    ssize_t n = readlink(link, target, sizeof target - 1);
    if (n > 0) target[n] = '\0';
    // Only the module opens files in the scratch directory; anything else
    // (the sanitizer's symbolizer pipes, say) belongs to the runtime.
    if (strncmp(target, scratch_dir().c_str(), scratch_dir().size()) == 0) {
      fprintf(stderr, "descriptor %d left open: %s\n", baseline, target);
      abort();
    }
    baseline = fd;
  }
}

void check_in_buffer(const struct passwd &pw, const char *buffer, size_t buflen) {
  for (const char *s : {pw.pw_name, pw.pw_passwd, pw.pw_gecos, pw.pw_dir, pw.pw_shell})
    check_string(s, buffer, buflen);
}

void check_in_buffer(const struct group &gr, const char *buffer, size_t buflen) {
  check_string(gr.gr_name, buffer, buflen);
  check_string(gr.gr_passwd, buffer, buflen);
  if (gr.gr_mem == nullptr) return;
  for (char **m = gr.gr_mem;; ++m) {
    if (!inside(m, sizeof *m, buffer, buflen)) {
      fprintf(stderr, "group member array outside the caller's buffer\n");
      abort();
    }
    if (*m == nullptr) break;
    check_string(*m, buffer, buflen);
  }
}

}  // namespace vesk_fuzz
