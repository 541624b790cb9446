#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fetch_tool.h"
#include "config/state.h"

namespace vesk::fetch {

bool write_temp(const std::string &final_path, std::string_view data, std::string *temp,
                std::string *error, bool flush) {
  int fd = tool::create_temp(final_path, temp);
  if (fd < 0) {
    *error = "can't create a temporary file beside " + final_path + ": " + strerror(errno);
    return false;
  }
  bool ok = fchmod(fd, 0644) == 0;
  const char *p = data.data();
  size_t n = data.size();
  while (ok && n > 0) {
    ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) ok = false;
    else p += w, n -= static_cast<size_t>(w);
  }
  ok = ok && (!flush || fdatasync(fd) == 0);
  if (!ok) *error = "can't write " + *temp + ": " + strerror(errno ? errno : EIO);
  if (close(fd) != 0 && ok) {
    ok = false;
    *error = "can't write " + *temp + ": " + strerror(errno);
  }
  if (!ok) tool::drop_temp(temp);
  return ok;
}

bool read_file(const std::string &path, std::string *data, std::string *error) {
  return tool::read_small_file(path, uint64_t{1} << 36, data, error);
}

bool lock_directory(const std::string &dir, bool wait, int *fd, std::string *error) {
  *fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (*fd < 0) {
    *error = dir + ": " + strerror(errno);
    return false;
  }
  int rc;
  while ((rc = flock(*fd, LOCK_EX | (wait ? 0 : LOCK_NB))) != 0 && errno == EINTR) {
  }
  if (rc != 0) {
    *error = errno == EWOULDBLOCK ? dir + ": another run is using it"
                                  : dir + ": can't lock: " + strerror(errno);
    close(*fd);
    *fd = -1;
    return false;
  }
  return true;
}

MappedFile::~MappedFile() {
  unmap();
  if (temporary) tool::drop_temp(&path);
}

bool MappedFile::create(const std::string &final_path, size_t bytes, std::string *error) {
  int fd = tool::create_temp(final_path, &path);
  if (fd < 0) {
    *error = "can't create a temporary file beside " + final_path + ": " + strerror(errno);
    return false;
  }
  temporary = true;
  size = bytes;
  bool ok = fchmod(fd, 0644) == 0 && ftruncate(fd, static_cast<off_t>(bytes)) == 0;
  if (ok && bytes > 0) {
    void *p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ok = p != MAP_FAILED;
    if (ok) data = static_cast<char *>(p);
  }
  if (!ok) *error = "can't write " + path + ": " + strerror(errno);
  close(fd);
  return ok;
}

bool MappedFile::open(const std::string &file, std::string *error) {
  path = file;
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    int e = fd < 0 ? errno : EINVAL;
    if (fd >= 0) close(fd);
    *error = file + ": " + (e == EINVAL ? "not a regular file" : strerror(e));
    errno = e;
    return false;
  }
  size = static_cast<size_t>(st.st_size);
  bool ok = true;
  if (size > 0) {
    void *p = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    ok = p != MAP_FAILED;
    if (ok) data = static_cast<char *>(p);
    else *error = file + ": " + strerror(errno);
  }
  close(fd);
  return ok;
}

void MappedFile::unmap() {
  if (data != nullptr) munmap(data, size);
  data = nullptr;
}

void MappedFile::keep() {
  tool::forget_temp(path);
  temporary = false;
}

}  // namespace vesk::fetch
