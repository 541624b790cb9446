// vesk-index: builds and checks the sorted index files beside the map files.
//
// The map is read with the module's own line reader (map/database.h), so the
// tool indexes exactly the lines a lookup can read back, and the index files
// are written in the format of lookup/index_format.h.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>

#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace vesk::tool {

// Exit statuses of the tool.
enum Exit { kExitOk = 0, kExitProblems = 1, kExitFailure = 2 };

enum class Db { Passwd, Group };

// Names longer than this are reported: every record of an index is as long
// as the longest key needs, so one overlong name inflates the whole file.
// It is also the longest login name the system's programs accept.
inline constexpr size_t kMaxNameLength = 255;

// Allocates large arrays as their own mappings, with transparent huge
// pages where the system offers them: a million-record map needs some
// hundred megabytes of arrays, and faulting them in 4 KiB at a time is a
// good part of the work.
void *big_allocate(size_t bytes);
void big_free(void *p, size_t bytes);

template <typename T>
struct BigAllocator {
  using value_type = T;
  BigAllocator() = default;
  template <typename U>
  BigAllocator(const BigAllocator<U> &) {}
  T *allocate(size_t n) { return static_cast<T *>(big_allocate(n * sizeof(T))); }
  void deallocate(T *p, size_t n) { big_free(p, n * sizeof(T)); }
  friend bool operator==(const BigAllocator &, const BigAllocator &) { return true; }
};

template <typename T>
using BigVector = std::vector<T, BigAllocator<T>>;

// Runs f on a second thread while g runs on this one (both here, one after
// the other, if no thread can be started).
template <typename F, typename G>
void in_parallel(F f, G g) {
  std::thread thread;
  try {
    thread = std::thread(f);
  } catch (const std::system_error &) {
    f();
  }
  g();
  if (thread.joinable()) thread.join();
}

// Messages go to stderr as "vesk-index: WHERE: TEXT".
void report(const std::string &where, const std::string &text);
std::string at_line(const std::string &file, uint64_t line);

// A map file as it was when the tool opened it.
struct MapFile {
  std::string path;
  struct stat st {};
  uint64_t size = 0;  // bytes read
};

// True when `path` still names the file read, with the same size and
// modification time, and all of it was read.
bool map_unchanged(const MapFile &map);

// One record of the map, as the module's line reader parsed it.
struct MapRecord {
  uint64_t offset;  // first byte of the record's line
  uint64_t line;    // 1-based line number
  uint64_t name;    // start of the NUL-terminated name in the name arena
  uint32_t name_len;
  uint32_t id;
};

// Something wrong in a map, at a line.
struct Problem {
  uint64_t line;
  std::string text;
};

struct MapScan {
  BigVector<MapRecord> records;  // in map order
  BigVector<char> names;         // every record's name, NUL-terminated
  std::vector<Problem> problems; // malformed lines, overlong names and lines
  const char *name_of(const MapRecord &r) const { return names.data() + r.name; }
};

// Opens the map at `path` (a regular file) and runs the module's line
// reader over it.  Lines it rejects (other than comments and blank lines)
// become problems.  False with *error set if the map can't be opened or
// read, or the reader fails for a reason other than a malformed line.
bool scan_map(Db db, const std::string &path, MapFile *map, MapScan *scan, std::string *error);

// The index key of an id: "%d" of the 32-bit value, into `out` (12 bytes);
// returns its length.
size_t format_id(uint32_t id, char *out);

// The order of one index: record numbers (into scan.records) sorted by key
// in strcmp order, ties in map order.  Records with an empty name are left
// out of the name order (an index key has at least one byte).
BigVector<uint32_t> name_order(const MapScan &scan);
BigVector<uint32_t> id_order(const MapScan &scan);

// Words used in messages for a database.
struct DbWords {
  const char *record;  // "user" / "group"
  const char *id;      // "uid" / "gid"
  const char *id_suffix;
};
DbWords words(Db db);

// An index written to a temporary file beside its final path, not yet
// renamed over it.  discard() removes the temporary file.
struct PendingIndex {
  std::string path;
  std::string temp;
};

// Writes the index of `order` (keys: names or ids) for `scan` to a fresh
// temporary file in the index's directory: mode 0644, flushed to disk, its
// modification time no older than `map_mtime`.  On failure nothing is left
// behind and *error says why.
bool write_index(const MapScan &scan, const BigVector<uint32_t> &order, bool by_name,
                 const std::string &path, const struct timespec &map_mtime, PendingIndex *out,
                 std::string *error);
void discard(PendingIndex *pending);
// Renames every pending index over its path, then flushes the directories.
// On failure the indexes not yet renamed are discarded.
bool commit(std::vector<PendingIndex> *pending, std::string *error);

struct BuildOptions {
  std::string passwd_map;
  std::string group_map;
  bool strict = false;
  // Test seam: called after a map has been read, before the tool makes
  // sure it did not change meanwhile.
  void (*after_read)(const std::string &map_path, void *arg) = nullptr;
  void *hook_arg = nullptr;
};

int run_build(const BuildOptions &options);

struct CheckOptions {
  std::string passwd_map;
  std::string group_map;
};

int run_check(const CheckOptions &options);

// The command line: "build", "check", --help, --version.
int tool_main(int argc, char **argv);

}  // namespace vesk::tool
