// Writing index files: a temporary file beside the index, flushed to disk,
// then renamed over the index, so a lookup sees either the whole old or the
// whole new index.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "index_tool.h"

namespace vesk::tool {

namespace {

// Temporary files in existence, so that a terminating signal can remove
// them: fixed slots of plain bytes, since the handler may only call
// async-signal-safe functions.
constexpr int kTempSlots = 4;
constexpr size_t kTempPathMax = 4096;
char temp_slots[kTempSlots][kTempPathMax];
volatile sig_atomic_t temp_used[kTempSlots];

void remove_temps_and_exit(int sig) {
  for (int i = 0; i < kTempSlots; ++i)
    if (temp_used[i]) unlink(temp_slots[i]);
  signal(sig, SIG_DFL);
  raise(sig);
}

void install_handlers() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  struct sigaction sa {};
  sa.sa_handler = remove_temps_and_exit;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaction(sig, &sa, nullptr);
}

void remember_temp(const std::string &path) {
  if (path.size() >= kTempPathMax) return;
  for (int i = 0; i < kTempSlots; ++i)
    if (!temp_used[i]) {
      memcpy(temp_slots[i], path.c_str(), path.size() + 1);
      temp_used[i] = 1;
      return;
    }
}

void forget_temp(const std::string &path) {
  for (int i = 0; i < kTempSlots; ++i)
    if (temp_used[i] && path == temp_slots[i]) temp_used[i] = 0;
}

std::string directory_of(const std::string &path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

size_t format_offset(uint64_t value, char *out) {
  char digits[20];
  size_t n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  size_t len = 0;
  while (n > 0) out[len++] = digits[--n];
  return len;
}

bool write_all(int fd, const char *data, size_t len, std::string *error) {
  while (len > 0) {
    ssize_t n = write(fd, data, len);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = strerror(errno);
      return false;
    }
    data += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

// The keys and offsets of the index, written record by record.
bool write_records(int fd, const MapScan &scan, const std::vector<uint32_t> &order,
                   bool by_name, std::string *error) {
  auto key_of = [&](const MapRecord &r, char *id_key, size_t *len) -> const char * {
    if (by_name) {
      *len = r.name_len;
      return scan.name_of(r);
    }
    *len = format_id(r.id, id_key);
    return id_key;
  };
  // Record length: the longest key, its NUL, the longest offset, at least
  // one NUL of filler (so the digits always end in a NUL), the newline.
  size_t record_len = 0;
  char digits[24];
  char id_key[12];
  for (uint32_t i : order) {
    size_t key_len;
    key_of(scan.records[i], id_key, &key_len);
    record_len = std::max(record_len, key_len + 1 + format_offset(scan.records[i].offset, digits) + 2);
  }
  std::vector<char> buffer(std::max<size_t>(1 << 20, record_len));
  size_t used = 0;
  for (uint32_t i : order) {
    if (buffer.size() - used < record_len) {
      if (!write_all(fd, buffer.data(), used, error)) return false;
      used = 0;
    }
    char *rec = buffer.data() + used;
    size_t key_len;
    const char *key = key_of(scan.records[i], id_key, &key_len);
    memcpy(rec, key, key_len);
    rec[key_len] = '\0';
    size_t n = format_offset(scan.records[i].offset, rec + key_len + 1);
    memset(rec + key_len + 1 + n, 0, record_len - 1 - (key_len + 1 + n));
    rec[record_len - 1] = '\n';
    used += record_len;
  }
  return write_all(fd, buffer.data(), used, error);
}

}  // namespace

bool write_index(const MapScan &scan, const std::vector<uint32_t> &order, bool by_name,
                 const std::string &path, const struct timespec &map_mtime, PendingIndex *out,
                 std::string *error) {
  install_handlers();
  std::string name = path.substr(path.rfind('/') + 1);  // npos + 1 == 0
  std::string temp = directory_of(path) + "/." + name + ".XXXXXX";
  int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) {
    *error = "can't create a temporary file beside " + path + ": " + strerror(errno);
    return false;
  }
  remember_temp(temp);
  bool ok = fchmod(fd, 0644) == 0;
  if (!ok) *error = strerror(errno);
  if (ok) ok = write_records(fd, scan, order, by_name, error);
  if (ok) {
    // Lookups use an index only if the map is not newer in whole seconds:
    // never let the index's time fall behind the map's (whose clock may be
    // ahead of ours, say on a network file system).
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct timespec mtime = now;
    if (map_mtime.tv_sec > now.tv_sec ||
        (map_mtime.tv_sec == now.tv_sec && map_mtime.tv_nsec > now.tv_nsec))
      mtime = map_mtime;
    struct timespec times[2] = {now, mtime};
    ok = futimens(fd, times) == 0 && fsync(fd) == 0;
    if (!ok) *error = strerror(errno);
  }
  if (close(fd) != 0 && ok) {
    *error = strerror(errno);
    ok = false;
  }
  if (!ok) {
    *error = "can't write " + temp + ": " + *error;
    unlink(temp.c_str());
    forget_temp(temp);
    return false;
  }
  out->path = path;
  out->temp = temp;
  return true;
}

void discard(PendingIndex *pending) {
  if (pending->temp.empty()) return;
  unlink(pending->temp.c_str());
  forget_temp(pending->temp);
  pending->temp.clear();
}

bool commit(std::vector<PendingIndex> *pending, std::string *error) {
  bool ok = true;
  std::vector<std::string> dirs;
  for (PendingIndex &p : *pending) {
    if (!ok) {
      discard(&p);
      continue;
    }
    if (rename(p.temp.c_str(), p.path.c_str()) != 0) {
      *error = "can't replace " + p.path + ": " + strerror(errno);
      discard(&p);
      ok = false;
      continue;
    }
    forget_temp(p.temp);
    p.temp.clear();
    std::string dir = directory_of(p.path);
    if (std::find(dirs.begin(), dirs.end(), dir) == dirs.end()) dirs.push_back(dir);
  }
  // The renames themselves reach the disk with the directory.
  for (const std::string &dir : dirs) {
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || fsync(fd) != 0) {
      if (ok) *error = "can't flush directory " + dir + ": " + strerror(errno);
      ok = false;
    }
    if (fd >= 0) close(fd);
  }
  return ok;
}

}  // namespace vesk::tool
