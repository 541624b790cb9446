// Helpers shared by the tests: temporary directories, files with chosen
// modification times, index files written in the module's documented
// format, and counts of the process's descriptors and mappings.
#pragma once

#include <stdint.h>
#include <grp.h>
#include <pwd.h>
#include <sys/types.h>
#include <time.h>

#include <string>
#include <vector>

namespace vesk_test {

// True in AddressSanitizer and ThreadSanitizer builds, where long-running
// tests scale their work down.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif
#else
inline constexpr bool kSanitized = false;
#endif

// A fresh directory under $TMPDIR (or /tmp), removed with its contents.
struct TempDir {
  std::string path;
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  std::string file(const std::string &name) const { return path + "/" + name; }
};

void write_file(const std::string &path, const std::string &content);
std::string read_file(const std::string &path);
// Sets both access and modification time to `seconds` since the epoch.
void set_mtime(const std::string &path, time_t seconds);

// One index entry: the key as the index stores it and the byte offset of
// the key's line in the map file.
struct IndexEntry {
  std::string key;
  int64_t offset;
};

enum class Db { Passwd, Group };
enum class Key { Name, Id };

// Entries for every record line of a map (lines the platform reader
// accepts; comments, blank lines and malformed lines are skipped), keyed by
// name or by id ("%d" of the 32-bit id), in map order.
std::vector<IndexEntry> map_entries(const std::string &map_content, Db db, Key key);

// An index file's bytes in the documented format: key, NUL, decimal
// offset, NUL filler, newline, all records of the longest record's length.
// Entries are sorted by strcmp unless `sorted` is false (kept as given).
std::string index_bytes(std::vector<IndexEntry> entries, bool sorted = true);

// Writes MAP.ixname and MAP.ixuid or MAP.ixgid for the map at `map_path`,
// with the same modification time as the map.
void write_indexes(const std::string &map_path, Db db);

// The key under which an id is indexed: "%d" of the 32-bit value.
std::string id_key(uint32_t id);

// Number of open descriptors of this process (entries of /proc/self/fd).
int count_open_fds();
// Number of lines in /proc/self/maps.
int count_mappings();

// A record written back as its map line (no newline): "name:passwd:uid:gid:
// gecos:dir:shell" or "name:passwd:gid:member,member".  Equal to the map line
// a reader parsed it from when that line had no surplus spaces or fields.
std::string record_line(const struct passwd &p);
std::string record_line(const struct group &g);

// Names of the symbols an ELF shared object defines in its dynamic symbol
// table (global and weak), sorted; empty if the file can't be read.
std::vector<std::string> defined_dynamic_symbols(const std::string &path);

}  // namespace vesk_test
