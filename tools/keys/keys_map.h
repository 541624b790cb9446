// Reading, judging and indexing a keys map (format: keys/key_line.h).
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/index_tool.h"

namespace vesk::keys {

// The default path of the keys map; its index is this followed by ".ixname".
inline constexpr const char *kKeysMap = "/etc/sshkeys.vesk";

// Decides whether a key may be served for USER with UID (the installed
// passwd map serves that user with that uid, and it is no local account).
// Returns false with *reason set when it may not.
using UserCheck = std::function<bool(std::string_view user, uint32_t uid, std::string *reason)>;

struct KeysRules {
  std::vector<std::string> allow_options;  // lower case
  UserCheck user_check;                    // empty: any user
  // install: a refused line is left out.  build and check: it is only
  // reported, and kept if it has the USER:UID:KEY fields (the command
  // serves the map as it stands, so its index must cover every such line).
  bool leave_out = true;
};

// One accepted line of the map.
struct KeyRecord {
  uint64_t offset;  // first byte of the line
  uint64_t length;  // with its newline (0 or 1 byte more than the text)
  uint64_t line;    // 1-based
  std::string_view user;
  uint32_t uid;
};

struct KeysScan {
  std::vector<KeyRecord> kept;            // in map order
  std::vector<tool::Problem> problems;    // lines refused, with the reason
  uint64_t lines = 0;                     // key lines seen (not comments)
};

// Judges every line of the map text `data` (`size` bytes).  A line is kept
// when it splits into USER:UID:KEY, its key passes judge_key, the rules'
// user check accepts its user, and its user's lines so far stand together
// (a user's later lines, apart from the first block, are left out: the
// index points only at the first).
void scan_keys(const char *data, size_t size, const KeysRules &rules, KeysScan *scan);

// Reads the whole file at `path` (a regular file) into *text.  False with
// *error set.
bool read_file(const std::string &path, std::string *text, struct stat *st, std::string *error);

// Writes the ".ixname" index of the kept lines (one entry per user, the
// offset of its first line) to a temporary file beside `map_path` + ".ixname",
// with a modification time no older than `map_mtime`.
bool write_keys_index(const KeysScan &scan, const std::string &map_path,
                      const struct timespec &map_mtime, tool::PendingIndex *out,
                      std::string *error);

// Writes the kept lines of `data` as a new file (temporary, beside
// `final_path`, mode 0644, flushed), for install's filtered copy; the kept
// records then give their places in the copy.
bool write_kept(KeysScan *scan, const char *data, const std::string &final_path,
                std::string *temp, std::string *error);

}  // namespace vesk::keys
