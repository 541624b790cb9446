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

#include <dirent.h>

#include <algorithm>
#include <mutex>
#include <random>

#include "core/index_tool.h"
#include "nss_vesk.h"

namespace vesk::tool {

namespace {

// Temporary files in existence, so that a terminating signal can remove
// them: fixed slots of plain bytes, since the handler may only call
// async-signal-safe functions.
// Two maps, each with two indexes, itself (twice while lines are left out)
// and its staged file set aside, with room to spare.
constexpr int kTempSlots = 16;
constexpr size_t kTempPathMax = 4096;
char temp_slots[kTempSlots][kTempPathMax];
volatile sig_atomic_t temp_used[kTempSlots];

void remove_temps_and_exit(int sig) {
  for (int i = 0; i < kTempSlots; ++i)
    if (temp_used[i]) unlink(temp_slots[i]);
  signal(sig, SIG_DFL);
  raise(sig);
}

// Called with temp_lock held.
void install_handlers() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  struct sigaction sa {};
  sa.sa_handler = remove_temps_and_exit;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaction(sig, &sa, nullptr);
}

// Indexes are written on two threads at once.
std::mutex temp_lock;

void remember_temp(const std::string &path) {
  std::lock_guard<std::mutex> guard(temp_lock);
  install_handlers();
  if (path.size() >= kTempPathMax) return;
  for (int i = 0; i < kTempSlots; ++i)
    if (!temp_used[i]) {
      memcpy(temp_slots[i], path.c_str(), path.size() + 1);
      temp_used[i] = 1;
      return;
    }
}

const char kTempMark[] = ".tmp-";
constexpr size_t kTempRandom = 6;  // the XXXXXX of mkostemp

std::string temp_prefix(const std::string &final_path) {
  return directory_of(final_path) + "/." + base_name(final_path) + kTempMark;
}

size_t decimal_digits(uint64_t value) {
  // From the bit length, a first guess that is at most one short.
  static const uint64_t kPowers[20] = {1ull,
                                       10ull,
                                       100ull,
                                       1000ull,
                                       10000ull,
                                       100000ull,
                                       1000000ull,
                                       10000000ull,
                                       100000000ull,
                                       1000000000ull,
                                       10000000000ull,
                                       100000000000ull,
                                       1000000000000ull,
                                       10000000000000ull,
                                       100000000000000ull,
                                       1000000000000000ull,
                                       10000000000000000ull,
                                       100000000000000000ull,
                                       1000000000000000000ull,
                                       10000000000000000000ull};
  // Setting the low bit changes no digit count (the powers of ten beyond 1
  // are even) and gives 0 its one digit.
  uint64_t v = value | 1;
  int bits = 64 - __builtin_clzll(v);
  size_t n = static_cast<size_t>(bits * 1233 >> 12);  // about bits * log10(2)
  return n + (v >= kPowers[n] ? 1 : 0);
}

// Writes `value` in decimal as exactly `len` digits (its digit count).
void put_decimal(uint64_t value, char *out, size_t len) {
  static const char kPairs[] =
      "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
      "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
      "8081828384858687888990919293949596979899";
  char *p = out + len;
  while (value >= 100) {
    unsigned pair = static_cast<unsigned>(value % 100) * 2;
    value /= 100;
    *--p = kPairs[pair + 1];
    *--p = kPairs[pair];
  }
  if (value >= 10) {
    unsigned pair = static_cast<unsigned>(value) * 2;
    *--p = kPairs[pair + 1];
    *--p = kPairs[pair];
  } else {
    *--p = static_cast<char>('0' + value);
  }
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

// The length of an id's key: its digits, and a sign for ids of 2^31 and
// above (negative as "%d" of the 32-bit value).
size_t id_key_length(uint32_t id) {
  int32_t value = static_cast<int32_t>(id);
  return value < 0 ? 1 + decimal_digits(0u - id) : decimal_digits(id);
}

// Asks the kernel to start writing out the bytes just written, so that the
// final fsync finds most of the file on its way to the disk already.  Only
// a hint: the fsync still decides.
void start_writeback(int fd, uint64_t from, size_t len) {
#ifdef SYNC_FILE_RANGE_WRITE
  sync_file_range(fd, static_cast<off_t>(from), static_cast<off_t>(len), SYNC_FILE_RANGE_WRITE);
#else
  (void)fd, (void)from, (void)len;
#endif
}

// The keys and offsets of the index, written record by record.
bool write_records(int fd, const MapScan &scan, const BigVector<uint32_t> &order,
                   bool by_name, std::string *error) {
  // Record length: the longest key and offset of one record, the key's NUL,
  // at least one NUL of filler (so the digits always end in a NUL), and the
  // newline.  The order holds every record, less those of empty names in
  // the name index: walking the records in map order is kinder to caches.
  size_t record_len = 0;
  for (const MapRecord &r : scan.records) {
    if (by_name && r.name_len == 0) continue;
    size_t key_len = by_name ? r.name_len : id_key_length(r.id);
    record_len = std::max(record_len, key_len + decimal_digits(r.offset) + 3);
  }
  // The buffer starts zeroed and is zeroed again after each write, so the
  // filler needs no writing.
  std::vector<char> buffer(std::max<size_t>(1 << 20, record_len));
  size_t used = 0;
  uint64_t written = 0;
  for (uint32_t i : order) {
    if (buffer.size() - used < record_len) {
      if (!write_all(fd, buffer.data(), used, error)) return false;
      start_writeback(fd, written, used);
      written += used;
      memset(buffer.data(), 0, used);
      used = 0;
    }
    const MapRecord &r = scan.records[i];
    char *rec = buffer.data() + used;
    size_t key_len;
    if (by_name) {
      key_len = r.name_len;
      memcpy(rec, scan.name_of(r), key_len);
    } else {
      // "%d" of the 32-bit value.
      bool negative = static_cast<int32_t>(r.id) < 0;
      uint32_t magnitude = negative ? 0u - r.id : r.id;
      size_t digits = decimal_digits(magnitude);
      if (negative) rec[0] = '-';
      put_decimal(magnitude, rec + negative, digits);
      key_len = digits + negative;
    }
    rec[key_len] = '\0';
    put_decimal(r.offset, rec + key_len + 1, decimal_digits(r.offset));
    rec[record_len - 1] = '\n';
    used += record_len;
  }
  return write_all(fd, buffer.data(), used, error);
}

}  // namespace

std::string directory_of(const std::string &path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string base_name(const std::string &path) { return path.substr(path.rfind('/') + 1); }

void forget_temp(const std::string &path) {
  std::lock_guard<std::mutex> guard(temp_lock);
  for (int i = 0; i < kTempSlots; ++i)
    if (temp_used[i] && path == temp_slots[i]) temp_used[i] = 0;
}

// The name is registered before the file exists: a terminating signal
// that comes while it is being made then removes it (or finds nothing),
// whichever thread it interrupts.
int create_temp(const std::string &final_path, std::string *temp) {
  static const char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  static thread_local std::mt19937 rng(std::random_device{}());
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = temp_prefix(final_path);
    for (size_t i = 0; i < kTempRandom; ++i) name += kChars[rng() % (sizeof kChars - 1)];
    remember_temp(name);
    int fd = open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd >= 0) {
      *temp = name;
      return fd;
    }
    int saved = errno;
    forget_temp(name);
    if (saved != EEXIST) {
      temp->clear();
      errno = saved;
      return -1;
    }
  }
  temp->clear();
  errno = EEXIST;
  return -1;
}

void remove_all_temps() {
  std::lock_guard<std::mutex> guard(temp_lock);
  for (int i = 0; i < kTempSlots; ++i)
    if (temp_used[i]) {
      unlink(temp_slots[i]);
      temp_used[i] = 0;
    }
}

void drop_temp(std::string *temp) {
  if (temp->empty()) return;
  unlink(temp->c_str());
  forget_temp(*temp);
  temp->clear();
}

void remove_stale_temps(const std::string &map_path, Db db) {
  std::string dir = directory_of(map_path);
  std::vector<std::string> prefixes;
  // The map's, its indexes', and the staged file's set aside.
  for (const char *suffix : {"", NSS_VESK_SUFFIX_NAME, words(db).id_suffix, ".new"})
    prefixes.push_back("." + base_name(map_path) + suffix + kTempMark);
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) return;
  while (struct dirent *e = readdir(d)) {
    std::string name = e->d_name;
    for (const std::string &prefix : prefixes)
      if (name.size() == prefix.size() + kTempRandom && name.compare(0, prefix.size(), prefix) == 0)
        unlinkat(dirfd(d), name.c_str(), 0);
  }
  closedir(d);
}

bool sync_directory(const std::string &dir, std::string *error) {
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  bool ok = fd >= 0 && fsync(fd) == 0;
  if (!ok) *error = "can't flush directory " + dir + ": " + strerror(errno);
  if (fd >= 0) close(fd);
  return ok;
}

bool write_index(const MapScan &scan, const BigVector<uint32_t> &order, bool by_name,
                 const std::string &path, const struct timespec &map_mtime, PendingIndex *out,
                 std::string *error) {
  std::string temp;
  int fd = create_temp(path, &temp);
  if (fd < 0) {
    *error = "can't create a temporary file beside " + path + ": " + strerror(errno);
    return false;
  }
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
    drop_temp(&temp);
    return false;
  }
  out->path = path;
  out->temp = temp;
  return true;
}

void discard(PendingIndex *pending) { drop_temp(&pending->temp); }

bool commit(std::vector<PendingIndex> *pending, std::string *error,
            void (*before_rename)(const std::string &path, void *arg), void *arg) {
  bool ok = true;
  std::vector<std::string> dirs;
  for (PendingIndex &p : *pending) {
    if (!ok) {
      discard(&p);
      continue;
    }
    if (before_rename != nullptr) before_rename(p.path, arg);
    // A signal between the rename and forgetting the name removes nothing:
    // the name is gone.
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
    std::string dir_error;
    if (!sync_directory(dir, &dir_error)) {
      if (ok) *error = dir_error;
      ok = false;
    }
  }
  return ok;
}

}  // namespace vesk::tool
