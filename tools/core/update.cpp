// What every update shares: the lock that keeps two runs apart, and the
// request that tells a name-service cache daemon to forget old answers.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdint.h>
#include <string.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

#include "core/index_tool.h"

namespace vesk::tool {

UpdateLock::~UpdateLock() {
  for (int fd : fds) close(fd);  // closing releases the lock
}

bool lock_maps(const std::vector<std::string> &maps, bool wait, UpdateLock *lock,
               std::string *error) {
  // One lock per directory, found by identity: two paths may name one
  // directory, and a second flock on it from this process would wait for
  // the first forever.
  struct Dir {
    dev_t dev;
    ino_t ino;
    std::string path;
  };
  std::vector<Dir> dirs;
  for (const std::string &map : maps) {
    std::string dir = directory_of(map);
    struct stat st;
    if (stat(dir.c_str(), &st) != 0) {
      *error = dir + ": " + strerror(errno);
      return false;
    }
    bool seen = std::any_of(dirs.begin(), dirs.end(), [&](const Dir &d) {
      return d.dev == st.st_dev && d.ino == st.st_ino;
    });
    if (!seen) dirs.push_back({st.st_dev, st.st_ino, dir});
  }
  std::sort(dirs.begin(), dirs.end(), [](const Dir &a, const Dir &b) {
    return std::pair(a.dev, a.ino) < std::pair(b.dev, b.ino);
  });
  for (const Dir &d : dirs) {
    int fd = open(d.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
      *error = d.path + ": " + strerror(errno);
      return false;
    }
    lock->fds.push_back(fd);
    int rc;
    while ((rc = flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB))) != 0 && errno == EINTR) {
    }
    if (rc != 0) {
      *error = errno == EWOULDBLOCK
                   ? d.path + ": another vesk-index run is updating the maps here (--no-wait)"
                   : d.path + ": can't lock: " + strerror(errno);
      return false;
    }
  }
  return true;
}

namespace {

// The daemon's socket and the two words of its protocol that matter here:
// a request is {version, type, key length} followed by the key, and the
// answer to an invalidation is one int, 0 for done.
const char kCacheSocket[] = "/var/run/nscd/socket";
constexpr int32_t kProtocolVersion = 2;
constexpr int32_t kInvalidate = 10;
constexpr int kTimeoutMs = 5000;

bool wait_for(int fd, short events) {
  struct pollfd p = {fd, events, 0};
  int rc;
  while ((rc = poll(&p, 1, kTimeoutMs)) < 0 && errno == EINTR) {
  }
  return rc == 1;
}

}  // namespace

bool invalidate_cache(const char *db, std::string *error) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return true;
  struct sockaddr_un addr {};
  addr.sun_family = AF_UNIX;
  memcpy(addr.sun_path, kCacheSocket, sizeof kCacheSocket);
  bool ok = true;
  if (connect(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0 &&
      !(errno == EINPROGRESS && wait_for(fd, POLLOUT))) {
    close(fd);
    return true;  // no daemon listens: nothing is cached
  }
  int32_t header[3] = {kProtocolVersion, kInvalidate, static_cast<int32_t>(strlen(db) + 1)};
  struct iovec iov[2] = {{header, sizeof header}, {const_cast<char *>(db), strlen(db) + 1}};
  size_t want = sizeof header + strlen(db) + 1;
  ssize_t sent = writev(fd, iov, 2);
  int32_t answer = -1;
  size_t got = 0;
  if (sent != static_cast<ssize_t>(want)) {
    *error = std::string("can't ask the name-service cache daemon to forget its ") + db +
             " cache: " + (sent < 0 ? strerror(errno) : "short write");
    ok = false;
  } else {
    while (got < sizeof answer && wait_for(fd, POLLIN)) {
      ssize_t n = read(fd, reinterpret_cast<char *>(&answer) + got, sizeof answer - got);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    if (got != sizeof answer || answer != 0) {
      *error = std::string("the name-service cache daemon did not confirm forgetting its ") + db +
               " cache" + (got == sizeof answer ? std::string(": ") + strerror(answer) : "") +
               "; run \"nscd -i " + db + "\"";
      ok = false;
    }
  }
  close(fd);
  return ok;
}

}  // namespace vesk::tool
