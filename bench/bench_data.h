// Generated maps for the benchmarks: N users, N/10 groups of five members
// each, index files in the module's format, and a list of random keys.
// Everything is deterministic: the same size and seed give the same bytes.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace vesk_bench {

// SplitMix64: a small, fast, well-mixed generator with a fixed output for a
// given seed on every platform.
struct Random {
  uint64_t state;
  explicit Random(uint64_t seed) : state(seed) {}
  uint64_t next() {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  size_t below(size_t n) { return static_cast<size_t>(next() % n); }
};

constexpr uint32_t kFirstUid = 100000;
constexpr uint32_t kFirstGid = 200000;
constexpr size_t kMembersPerGroup = 5;

size_t group_count(size_t users);
std::string user_name(size_t i);
std::string group_name(size_t j);
uint32_t user_uid(size_t i);
uint32_t group_gid(size_t j);
// The primary group of user i: one group per ten users.
uint32_t user_gid(size_t i, size_t users);

// One index entry: the key as stored and the offset of the key's line.
struct IndexEntry {
  std::string key;
  int64_t offset;
};

// Entries of every line of a generated map (name and id keys), in map order.
std::vector<IndexEntry> map_entries(const std::string &map, bool by_id);
// An index file in the documented format: key, NUL, decimal offset, NUL
// filler, newline; one common record length; strcmp order of the keys.
std::string index_bytes(std::vector<IndexEntry> entries);

// Writes `content` to `path`; false on failure.
bool write_file(const std::string &path, const std::string &content);
bool read_file(const std::string &path, std::string *content);
// Gives `path` the modification time of `like`.
bool copy_mtime(const std::string &like, const std::string &path);

// Writes DIR/passwd.vesk and DIR/group.vesk for `users` users:
//   userNNNNNNN:x:UID:GID:User N,,,:/home/userNNNNNNN:/bin/bash
//   grpNNNNNN:x:GID:five members
bool write_maps(const std::string &dir, size_t users);
// Writes MAP.ixname and MAP.ixuid (or .ixgid for a group map), with the
// map's modification time.
bool write_indexes(const std::string &map_path, bool group);

// One random lookup: a user and a group, chosen independently.
struct Key {
  std::string user;
  uint32_t uid;
  uint32_t user_gid;
  std::string group;
  uint32_t gid;
};
std::vector<Key> random_keys(size_t users, size_t count, uint64_t seed);

}  // namespace vesk_bench
