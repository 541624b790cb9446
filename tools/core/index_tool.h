// vesk-index: builds and checks the sorted index files beside the map files.
//
// The map is read with the module's own line reader (map/database.h), so the
// tool indexes exactly the lines a lookup can read back, and the index files
// are written in the format of lookup/index_format.h.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>

#include <bitset>
#include <deque>
#include <exception>
#include <string>
#include <string_view>
#include <system_error>
#include <unordered_map>
#include <thread>
#include <vector>

#include "cli/exit.h"
#include "config/config.h"

namespace vesk::tool {


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
// An exception of either (out of memory) reaches the caller once both are
// done.
template <typename F, typename G>
void in_parallel(F f, G g) {
  std::exception_ptr failed;
  std::thread thread;
  try {
    thread = std::thread([&] {
      try {
        f();
      } catch (...) {
        failed = std::current_exception();
      }
    });
  } catch (const std::system_error &) {
    f();
  }
  try {
    g();
  } catch (...) {
    if (thread.joinable()) thread.join();
    throw;
  }
  if (thread.joinable()) thread.join();
  if (failed) std::rethrow_exception(failed);
}

// Messages go to stderr as "vesk-index: WHERE: TEXT".
void report(const std::string &where, const std::string &text);
std::string at_line(const std::string &file, uint64_t line);
// The same, appended to *messages to be printed later.
void add_message(std::string *messages, const std::string &where, const std::string &text);

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

// A line of the map that is not to be served, by its bytes.
struct LeftOut {
  uint64_t offset;  // first byte of the line
  uint64_t length;  // with its newline
};

struct PolicyCheck;

struct MapScan {
  BigVector<MapRecord> records;  // in map order
  BigVector<char> names;         // every record's name, NUL-terminated
  std::vector<Problem> problems; // malformed lines, overlong names and lines
  // Set before scanning: the policy every record is judged by (none: no
  // judgement), and whether the lines it refuses are left out (install: they
  // are not records, and their bytes are listed in `left_out`) or only
  // reported (build, check).
  const PolicyCheck *policy = nullptr;
  bool leave_out = false;
  std::vector<LeftOut> left_out;  // in map order
  size_t refused = 0;             // records the policy refused
  size_t password_x = 0;          // passwd records served with "x" as password field
  const char *name_of(const MapRecord &r) const { return names.data() + r.name; }
};

// Opens the map at `path` (a regular file) and runs the module's line
// reader over it.  Lines it rejects (other than comments and blank lines)
// become problems.  False with *error set if the map can't be opened or
// read, or the reader fails for a reason other than a malformed line.
bool scan_map(Db db, const std::string &path, MapFile *map, MapScan *scan, std::string *error);
// The same for a file already open (a regular file at `path`); the
// descriptor stays the caller's.
bool scan_fd(Db db, int fd, const std::string &path, MapFile *map, MapScan *scan,
             std::string *error);

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

std::string directory_of(const std::string &path);
std::string base_name(const std::string &path);

// Temporary files are created beside the file they will replace, named
// ".NAME.tmp-XXXXXX" (NAME the final file's name), so that a later run can
// recognise and remove those of a run that was killed.  Until dropped or
// renamed away they are removed when the tool is interrupted.
//
// create_temp: a new empty file (mode 0600) for `final_path`; returns its
// descriptor (close-on-exec) and sets *temp, or -1 with errno set.
int create_temp(const std::string &final_path, std::string *temp);
// Unlinks *temp (if set) and clears it.
void drop_temp(std::string *temp);
// Unlinks every temporary file not yet renamed away (a run that must end
// at once: out of memory).
void remove_all_temps();
// The file has been renamed away: it is no longer ours to remove.
void forget_temp(const std::string &temp);
// Removes the temporary files left by killed runs for `map_path`: those of
// the map itself and of its indexes.  Call only with the update lock held.
void remove_stale_temps(const std::string &map_path, Db db);
// Flushes the directory `dir` (a rename reaches the disk with it).
bool sync_directory(const std::string &dir, std::string *error);

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
// Renames every pending file over its path, in order, then flushes the
// directories.  On failure the files not yet renamed are discarded.
// `before_rename`, a test seam, is called with each path before its rename.
bool commit(std::vector<PendingIndex> *pending, std::string *error,
            void (*before_rename)(const std::string &path, void *arg) = nullptr,
            void *arg = nullptr);

// A set of maps and indexes put in place as one: their renames are written
// to a journal (journal_path: beside the passwd map) before the first, and
// terminating signals wait until the last, so that a run killed between
// them is completed by the next (replay_journal, called with the update
// lock held before temporary files are removed).  On failure the files not
// yet renamed are discarded, and a journal may stay for the next run.
std::string journal_path(const std::string &passwd_map);
bool commit_set(std::vector<PendingIndex> *pending, const std::string &journal, std::string *error,
                void (*before_rename)(const std::string &path, void *arg) = nullptr,
                void *arg = nullptr);
// Completes the renames a killed run's journal lists (each only if its
// temporary file is still there) and removes it; *completed: something
// was renamed.  No journal: true, nothing done.
bool replay_journal(const std::string &journal, bool *completed, std::string *error);

// One update at a time: build and install hold an exclusive lock on the
// directory of each map (flock on the directory itself, so no lock file is
// left behind) for their whole run.  Released when destroyed.
struct UpdateLock {
  std::vector<int> fds;
  UpdateLock() = default;
  UpdateLock(const UpdateLock &) = delete;
  UpdateLock &operator=(const UpdateLock &) = delete;
  ~UpdateLock();
};

// Locks the directories of `maps` (each once, in a fixed order, so two runs
// can't deadlock).  With `wait` false, fails at once if another run holds
// one.  False with *error set on failure.
bool lock_maps(const std::vector<std::string> &maps, bool wait, UpdateLock *lock,
               std::string *error);

// Asks a running name-service cache daemon (nscd or unscd) to drop what it
// cached of `db` ("passwd" or "group"), as "nscd -i DB" does, so that the
// new files answer at once.  Quiet when no daemon listens; false with
// *error set when one listens but refuses or fails.
bool invalidate_cache(const char *db, std::string *error);

// A map read and checked on its way to becoming the map at `target`: its
// records, the orders of its two indexes and, once written, the indexes.
struct Prepared {
  Db db = Db::Passwd;
  std::string target;   // the map path the indexes belong to
  std::string error;    // why the map can't be read (prepare_map failed)
  MapFile map;          // the file read
  // The policy the records are judged by, and whether the refused ones are
  // left out (see MapScan); set before prepare_map.
  const PolicyCheck *policy = nullptr;
  bool leave_out = false;
  int source_fd = -1;  // read this descriptor instead of opening `source`
  MapScan scan;
  BigVector<uint32_t> by_name, by_id;
  size_t problems = 0;
  bool explain_x = false;  // say what "x" in password fields means (check, install)
  std::vector<PendingIndex> pending;
};

// Reads `source`, which will stand at `target`, reports its problems into
// *messages (naming `display`) and sorts the index orders.  kExitOk or
// kExitProblems, or kExitFailure when the map can't be read.
int prepare_map(Db db, const std::string &source, const std::string &display,
                const std::string &target, Prepared *p, std::string *messages);
// Writes both indexes of *p as temporary files beside `p->target`, with a
// modification time no older than `map_mtime`.
bool write_indexes(Prepared *p, const struct timespec &map_mtime, std::string *error);

// What a map may hold: the content policy applied where maps are put in
// place.  A record that would grant privilege on a host (a reserved id, a
// local account's name or id, a password that logs in) is refused.
struct Policy {
  uint32_t min_uid = 1000;  // UID_MIN of login.defs, [policy] min_uid, --min-uid
  uint32_t min_gid = 1000;
  std::vector<uint32_t> allow_gid;  // local or reserved gids allowed as primary groups
  // [policy] name_regex: the names admitted, as a POSIX extended regular
  // expression; empty: the default rule (what Debian's own tools create).
  std::string name_regex;
  // [policy] reserved_names: names refused even where no local account or
  // group holds them yet (compared ignoring ASCII case).
  std::vector<std::string> reserved_names = default_reserved_names();
  // [policy] accept_new_local_members: a user new in the map whom a local
  // group lists is accepted (and becomes that group's member).
  bool accept_new_local_members = false;
  // [policy] allow_container_ids: ids in systemd's container range are accepted.
  bool allow_container_ids = false;
  // The local accounts and groups, which `files` answers from first.
  std::string local_passwd = "/etc/passwd";
  std::string local_group = "/etc/group";
  std::string local_subuid = "/etc/subuid";
  std::string local_subgid = "/etc/subgid";
  std::string login_defs = "/etc/login.defs";
  // authorized_keys options a key of the keys map may carry ([keys]
  // allow_options), lower case.
  std::vector<std::string> allow_options;
  // The passwd map in service (install's target): its users count as served
  // before.  Empty: every user does (build and check judge the map in
  // service itself).
  std::string served_passwd_map;

  static std::vector<std::string> default_reserved_names();
};

// Fills *policy from login.defs (UID_MIN, GID_MIN) and then the [policy]
// section of `config`.  False with *error set ("FILE:LINE: TEXT") on a bad
// value.
bool load_policy(const Config &config, Policy *policy, std::string *error);

// A closed range of ids.
struct IdRange {
  uint32_t first, last;
  std::string what;  // for messages
};

// A name the map may not use, with why (for messages).
struct TakenName {
  std::string name;     // as the local file (or the list) spells it
  enum Kind { LocalUser, LocalGroup, Reserved, StaleMember } kind;
  std::string group;    // StaleMember: the local group that lists it
};

// A policy ready to judge records: the local accounts and groups read.
struct PolicyCheck {
  Policy policy;
  // Names and ids of /etc/passwd (users) and /etc/group (groups), each with
  // the name or id it stands for (for messages).
  std::unordered_map<std::string_view, uint32_t> user_names, group_names;
  std::unordered_map<uint32_t, std::string_view> user_ids, group_ids;
  std::deque<std::string> storage;  // the names the views point into
  // Every name the map may not use, by its ASCII lower-case form: local
  // users and groups, reserved names, and names a local group lists as
  // members that are neither local users nor served before.  The first
  // reason given for a form wins (local users, groups, reserved, members).
  std::unordered_map<std::string, TakenName> taken;
  // Ids the map may not use beyond the minimum and the local ones: the
  // subordinate ranges and systemd's, sorted and merged.
  std::vector<IdRange> uid_ranges, gid_ranges;
  uint32_t first_ranged_uid = UINT32_MAX, first_ranged_gid = UINT32_MAX;
  std::vector<uint32_t> privileged_gids;  // gid 0 and those of sudo, adm, ...
  void *name_regex = nullptr;             // the compiled name_regex (regex_t), or null
  // Cheap filters in front of the tables, which almost every map record
  // passes by: the largest local ids, and a bit per (length, first and
  // last byte) of the taken names (folded to lower case) and of the local
  // users' names.
  uint32_t max_uid = 0, max_gid = 0;
  std::bitset<65536> taken_filter, local_user_filter;
  PolicyCheck() = default;
  PolicyCheck(const PolicyCheck &) = delete;
  PolicyCheck &operator=(const PolicyCheck &) = delete;
  ~PolicyCheck();
  static unsigned char fold(unsigned char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; }
  static size_t filter_key(std::string_view name) {
    return (name.size() * 7919 + fold(static_cast<unsigned char>(name.front())) * 131 +
            fold(static_cast<unsigned char>(name.back()))) & 0xffff;
  }
  bool maybe_taken(std::string_view name) const {
    return !name.empty() && taken_filter.test(filter_key(name));
  }
  bool maybe_local_user(std::string_view name) const {
    return !name.empty() && local_user_filter.test(filter_key(name));
  }
  // Why `name` can't be used by a map user (`user`) or group, or null.
  const TakenName *taken_by(std::string_view name, bool user) const;
  // Whether `id` lies in one of the ranges.
  bool in_ranges(bool uid, uint32_t id) const {
    if (id < (uid ? first_ranged_uid : first_ranged_gid)) return false;
    for (const IdRange &r : uid ? uid_ranges : gid_ranges)
      if (id >= r.first && id <= r.last) return true;
    return false;
  }
  const IdRange *range_of(bool uid, uint32_t id) const;
};

// Reads the local files of `policy`.  A local file that is missing counts
// as empty; one that can't be read is an error, and so is a configuration
// that allows a group granting privilege as a primary group.
bool prepare_policy(const Policy &policy, PolicyCheck *check, std::string *error);

// The name rule of the default policy: lower-case ASCII letters, digits,
// '_', '-' and '.', starting with a letter or '_', and an optional final '$'.
bool default_name_rule(std::string_view name);

// What the scan's own parser learnt of a common line (see map_scan.cpp).
struct QuickFields {
  size_t name_len = 0;
  uint32_t id = 0, gid = 0;     // gid: the passwd line's, or the group's id
  std::string_view password;
  bool plain_ids = true;        // no id with a leading zero
  size_t rest = 0;              // offset past the ids' colons
};

// The policy's verdict on such a line when it is plainly acceptable (true);
// false means it must be judged by judge_line.
bool quickly_acceptable(const PolicyCheck &check, bool passwd, std::string_view line,
                        const QuickFields &fields);

// Judges one map line (without its newline).  Returns false with *reason
// set when the record must not be served; true otherwise, with *note set
// (else left empty) when something about it is worth reporting although it
// is kept.
bool judge_line(const PolicyCheck &check, Db db, std::string_view line, std::string *reason,
                std::string *note);

struct BuildOptions {
  std::string passwd_map;
  std::string group_map;
  std::string keys_map;  // empty: none
  bool strict = false;
  bool wait = true;  // for the update lock
  Policy policy;
  // Test seam: called after a map has been read, before the tool makes
  // sure it did not change meanwhile.
  void (*after_read)(const std::string &map_path, void *arg) = nullptr;
  void *hook_arg = nullptr;
};

int run_build(const BuildOptions &options);

struct InstallOptions {
  std::string passwd_map;
  std::string group_map;
  std::string keys_map;  // empty: none
  // The new maps; empty: MAP.new beside the map, if it exists.
  std::string new_passwd;
  std::string new_group;
  std::string new_keys;
  // What messages call the new maps (default: their paths), for a program
  // that hands install maps it wrote itself.
  std::string new_passwd_label;
  std::string new_group_label;
  std::string new_keys_label;
  double max_drop = 50;  // percent of the current map's records
  bool force = false;
  bool follow_symlinks = false;  // a staged symbolic link is refused unless set
  bool strict = false;
  bool dry_run = false;
  bool wait = true;
  // The new maps named above are the caller's temporary files beside the
  // maps (create_temp), which nothing else writes: they are installed
  // without a copy, renamed into place or removed.
  bool adopt = false;
  Policy policy;
  // Test seam: called before each rename that puts a file in place.
  void (*before_rename)(const std::string &path, void *arg) = nullptr;
  void *hook_arg = nullptr;
};

int run_install(const InstallOptions &options);

struct CheckOptions {
  std::string passwd_map;
  std::string group_map;
  std::string keys_map;  // empty: none
  Policy policy;
};

int run_check(const CheckOptions &options);

// The command line: "build", "check", "install", --help, --version.
int tool_main(int argc, char **argv);

}  // namespace vesk::tool
