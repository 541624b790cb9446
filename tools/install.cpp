// "vesk-index install": puts a new map in place together with its indexes.
//
// For each staged map: read and check it as build does, compare it with the
// current map, write its indexes beside the map, then rename the indexes
// over the old ones first and the map last.  While the new indexes stand
// beside the old map every answer is still right for the old map: an
// offset that doesn't lead to its record makes the lookup scan, and a key
// the new index lacks belongs to a record the new map drops.  The other
// order would pair old indexes with the new map and, within one second,
// answer "not found" for new users.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string_view>

#include "index_tool.h"
#include "lookup/index_format.h"
#include "map/files.h"
#include "nss_vesk.h"

namespace vesk::tool {

namespace {

// How two generations of a map differ, by name (records without a name
// are not counted).
struct Diff {
  size_t before = 0, after = 0, added = 0, removed = 0, changed = 0;
};

// A read-only mapping of a whole file, released when destroyed.  Used for
// the current map and index, which the update lock keeps our own runs from
// changing and which nothing else may rewrite in place, and for the new map.
struct Mapping {
  const char *data = nullptr;
  size_t size = 0;
  Mapping() = default;
  Mapping(int fd, off_t bytes) { map(fd, bytes); }
  ~Mapping() {
    if (data != nullptr) munmap(const_cast<char *>(data), size);
  }
  Mapping(const Mapping &) = delete;
  Mapping &operator=(const Mapping &) = delete;
  void map(int fd, off_t bytes) {
    void *p = bytes > 0 ? mmap(nullptr, static_cast<size_t>(bytes), PROT_READ, MAP_PRIVATE, fd, 0)
                        : MAP_FAILED;
    if (p != MAP_FAILED) data = static_cast<const char *>(p), size = static_cast<size_t>(bytes);
  }
  // Maps the file at `path` (once); an empty file maps to nothing.
  bool open(const std::string &path) {
    struct stat st;
    Fd fd(open_regular(path.c_str(), &st));
    if (fd.fd < 0) return false;
    map(fd.fd, st.st_size);
    return data != nullptr || st.st_size == 0;
  }
  // The line that starts at `offset`, without its newline.
  std::string_view line(uint64_t offset) const {
    if (offset >= size) return {};
    const char *start = data + offset;
    const void *nl = memchr(start, '\n', size - offset);
    return {start, nl != nullptr ? static_cast<size_t>(static_cast<const char *>(nl) - start)
                                 : size - offset};
  }
};

// Compares the current map's records, fed in strcmp order of their names,
// with the new map's name order.  A name on several lines is paired
// occurrence by occurrence.
struct DiffWalk {
  const MapScan &next;
  const BigVector<uint32_t> &order;
  const Mapping &next_map;
  size_t j = 0;
  Diff d{};

  const char *next_name() const { return next.name_of(next.records[order[j]]); }
  void current(const char *name, std::string_view line) {
    ++d.before;
    int c = 1;
    while (j < order.size() && (c = strcmp(next_name(), name)) < 0) ++d.added, ++j;
    if (c == 0) {
      if (next_map.line(next.records[order[j]].offset) != line) ++d.changed;
      ++j;
    } else {
      ++d.removed;
    }
  }
  Diff finish() {
    d.added += order.size() - j;
    d.after = order.size();
    return d;
  }
};

// Walks the current map through its name index, which spares scanning and
// sorting it: the index's entries are the names in strcmp order, and each
// leads to its line.  False (the map is then scanned instead) unless the
// index is fresh and sorted and every entry leads to the start of a line
// that begins with its name.
bool walk_through_index(const std::string &target, DiffWalk *walk) {
  struct stat map_st, index_st;
  Fd map_fd(open_regular(target.c_str(), &map_st));
  if (map_fd.fd < 0) return false;
  Fd index_fd(open_regular((target + NSS_VESK_SUFFIX_NAME).c_str(), &index_st));
  if (index_fd.fd < 0 || index_st.st_mtim.tv_sec < map_st.st_mtim.tv_sec) return false;
  Mapping map(map_fd.fd, map_st.st_size), index(index_fd.fd, index_st.st_size);
  if (map.data == nullptr || index.data == nullptr) return false;
  size_t len = index_record_length(index.data, index.size);
  if (len == 0 || index.size % len != 0) return false;
  const char *previous = nullptr;
  for (const char *record = index.data; record < index.data + index.size; record += len) {
    size_t key_len = index_key_length(record, len);
    if (record[len - 1] != '\n' || key_len == SIZE_MAX || key_len == 0) return false;
    // The tool writes the digits right after the key's NUL; anything else
    // is read the way the module reads it.
    int64_t offset = 0;
    const char *digit = record + key_len + 1, *end = record + len - 1;
    while (digit < end && *digit >= '0' && *digit <= '9' && offset < (INT64_MAX - 9) / 10)
      offset = offset * 10 + (*digit++ - '0');
    if (digit == record + key_len + 1 || (digit < end && *digit != '\0'))
      offset = index_record_offset(record, len, key_len);
    if (offset < 0 || static_cast<uint64_t>(offset) + key_len >= map.size) return false;
    std::string_view line = map.line(static_cast<uint64_t>(offset));
    if ((offset > 0 && map.data[offset - 1] != '\n') || line.size() <= key_len ||
        line.compare(0, key_len, record) != 0 || line[key_len] != ':')
      return false;
    if (previous != nullptr && strcmp(previous, record) > 0) return false;
    previous = record;
    walk->current(record, line);
  }
  return true;
}

// Compares the current map at `target` with the new one, read from
// `source`.
bool compare_with_current(Db db, const std::string &target, const std::string &source,
                          const Prepared &next, Diff *diff, std::string *error) {
  Mapping next_map;
  if (!next_map.open(source)) {
    *error = source + ": " + strerror(errno);
    return false;
  }
  DiffWalk walk{next.scan, next.by_name, next_map};
  struct stat st;
  if (lstat(target.c_str(), &st) != 0 && errno == ENOENT) {  // a first install
    *diff = walk.finish();
    return true;
  }
  if (!walk_through_index(target, &walk)) {
    walk.j = 0;
    walk.d = Diff{};
    MapScan current;
    MapFile file;
    Mapping current_map;
    if (!scan_map(db, target, &file, &current, error) || !current_map.open(target)) {
      *error = target + ": " + (error->empty() ? strerror(errno) : *error);
      return false;
    }
    for (uint32_t i : name_order(current))
      walk.current(current.name_of(current.records[i]), current_map.line(current.records[i].offset));
  }
  *diff = walk.finish();
  return true;
}

// One database's way from the staged file to the map.
struct Staging {
  Db db = Db::Passwd;
  std::string target;  // the map
  std::string staged;  // the new map as it was left for us
  bool named = false;  // given on the command line, so it must exist
  bool present = false;
  struct stat found {};  // the staged file itself (not followed), when found
  bool consume = false;  // it lies beside the map: removed once installed
  std::string map_temp;  // the new map beside the map, under a temporary name
  Prepared p;
  Diff diff;
  int status = kExitOk;
  bool refused = false;
  std::string messages;

  void fail(const std::string &where, const std::string &text) {
    add_message(&messages, where, text);
    status = kExitFailure;
  }
};

bool same_directory(const std::string &a, const std::string &b) {
  struct stat sa, sb;
  return stat(directory_of(a).c_str(), &sa) == 0 && stat(directory_of(b).c_str(), &sb) == 0 &&
         sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// Copies `source` into a new temporary file beside `target`, flushed to
// disk.  Fails if the source changes while it is copied.
bool copy_to_temp(const std::string &source, const std::string &target, std::string *temp,
                  std::string *error) {
  struct stat before;
  Fd in(open_regular(source.c_str(), &before));
  if (in.fd < 0) {
    *error = errno == EINVAL ? "not a regular file" : strerror(errno);
    return false;
  }
  Fd out(create_temp(target, temp));
  if (out.fd < 0) {
    *error = "can't create a temporary file beside " + target + ": " + strerror(errno);
    return false;
  }
  uint64_t copied = 0;
  bool plain = false;  // copy_file_range refused: read and write instead
  std::vector<char> buffer;
  for (;;) {
    ssize_t n;
    if (!plain) {
      n = copy_file_range(in.fd, nullptr, out.fd, nullptr, 1 << 30, 0);
      if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP) &&
          copied == 0) {
        plain = true;
        buffer.resize(1 << 20);
        continue;
      }
    } else {
      n = read(in.fd, buffer.data(), buffer.size());
      for (ssize_t done = 0; n > 0 && done < n;) {
        ssize_t w = write(out.fd, buffer.data() + done, static_cast<size_t>(n - done));
        if (w < 0 && errno != EINTR) {
          n = -1;
          break;
        }
        if (w > 0) done += w;
      }
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = "can't copy to " + *temp + ": " + strerror(errno);
      drop_temp(temp);
      return false;
    }
    if (n == 0) break;
    copied += static_cast<uint64_t>(n);
  }
  struct stat after;
  if (fstat(in.fd, &after) != 0 || after.st_size != before.st_size ||
      copied != static_cast<uint64_t>(before.st_size) ||
      after.st_mtim.tv_sec != before.st_mtim.tv_sec ||
      after.st_mtim.tv_nsec != before.st_mtim.tv_nsec) {
    *error = "changed while it was copied; nothing installed (run again)";
    drop_temp(temp);
    return false;
  }
  return true;
}

// Removes the staged file now that it is installed, unless a newer one has
// taken its place meanwhile: whatever stands there is first renamed aside
// (atomically), and put back if it is not the file installed.
void consume_staged(const Staging &s) {
  std::string aside;
  int fd = create_temp(s.staged, &aside);
  if (fd < 0) return;
  close(fd);
  struct stat now;
  if (rename(s.staged.c_str(), aside.c_str()) != 0 || lstat(aside.c_str(), &now) != 0) {
    drop_temp(&aside);
    return;
  }
  if (now.st_dev != s.found.st_dev || now.st_ino != s.found.st_ino) {
    if (renameat2(AT_FDCWD, aside.c_str(), AT_FDCWD, s.staged.c_str(), RENAME_NOREPLACE) == 0) {
      forget_temp(aside);
      return;
    }
    // An even newer one is staged: the one set aside is outdated.
  }
  drop_temp(&aside);
}

// Reads the staged map and the current one, compares them and applies the
// guards; unless this is a dry run, leaves the new map and its indexes as
// temporary files beside the map, flushed to disk.
void stage(Staging *s, const InstallOptions &o) {
  if (lstat(s->staged.c_str(), &s->found) != 0) {
    if (errno != ENOENT || s->named) s->fail(s->staged, strerror(errno));
    return;
  }
  struct stat current;
  if (lstat(s->target.c_str(), &current) == 0 && current.st_dev == s->found.st_dev &&
      current.st_ino == s->found.st_ino) {
    // MAP.new still naming the map is what an install killed just after
    // putting the map in place leaves behind: the update is complete.
    if (s->named)
      s->fail(s->staged, "is the current map itself: nothing to install (build indexes it)");
    else if (!o.dry_run)
      consume_staged(*s);
    return;
  }
  s->present = true;
  s->consume = same_directory(s->staged, s->target);
  std::string source = s->staged, error;
  if (!o.dry_run) {
    // A plain file beside the map becomes the map itself; anything else (a
    // symbolic link, a file with other names that may be rewritten in place,
    // a file elsewhere) is copied next to the map first.
    bool linked = s->consume && S_ISREG(s->found.st_mode) && s->found.st_nlink == 1 &&
                  link_temp(s->staged, s->target, &s->map_temp);
    if (!linked && !copy_to_temp(s->staged, s->target, &s->map_temp, &error)) {
      s->fail(s->staged, error);
      return;
    }
    source = s->map_temp;
    // Start writing the new map out now (if the sync tool left it
    // unflushed), so that the flush before the renames waits less.
    Fd fd(open(s->map_temp.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (fd.fd >= 0) sync_file_range(fd.fd, 0, 0, SYNC_FILE_RANGE_WRITE);
  }

  s->status = prepare_map(s->db, source, s->staged, s->target, &s->p, &s->messages);
  if (s->status == kExitFailure) return;

  // The comparison with the current map runs while the new map reaches the
  // disk and its indexes are written (they are discarded if it is refused).
  bool compared = false, written = o.dry_run;
  std::string compare_error;
  auto compare = [&] {
    compared = compare_with_current(s->db, s->target, source, s->p, &s->diff, &compare_error);
  };
  if (o.dry_run) {
    compare();
  } else {
    in_parallel(compare, [&] {
      // The new map: readable by every process, on disk before it is
      // renamed into place.  Its indexes must not be older than it.
      Fd fd(open(s->map_temp.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
      struct stat st;
      // Only its data needs flushing here: its name and mode reach the disk
      // with the directory.
      if (fd.fd < 0 || fstat(fd.fd, &st) != 0 ||
          ((st.st_mode & 07777) != 0644 && fchmod(fd.fd, 0644) != 0) || fdatasync(fd.fd) != 0)
        error = s->map_temp + ": " + strerror(errno);
      else if (!write_indexes(&s->p, st.st_mtim, &error))
        error = s->target + ": " + error;
      else
        written = true;
    });
  }
  if (!compared) s->fail("install", "can't compare the maps: " + compare_error);
  if (!written) s->fail(s->staged, error + "; nothing installed");
  if (s->status == kExitFailure) return;

  // Guards against a broken export.
  const Diff &d = s->diff;
  std::string refusal;
  if (!o.force && d.before > 0 && d.after == 0) {
    refusal = "has no records, the current map has " + std::to_string(d.before);
  } else if (!o.force && d.before > 0 &&
             static_cast<double>(d.removed) * 100 > o.max_drop * static_cast<double>(d.before)) {
    char share[32];
    snprintf(share, sizeof share, "%.1f%%", 100.0 * static_cast<double>(d.removed) /
                                                static_cast<double>(d.before));
    char limit[32];
    snprintf(limit, sizeof limit, "%g%%", o.max_drop);
    refusal = "would remove " + std::to_string(d.removed) + " of the " +
              std::to_string(d.before) + " records of the current map (" + share +
              "), more than --max-drop " + limit;
  }
  if (!refusal.empty()) refusal += "; --force installs it anyway";
  if (refusal.empty() && o.strict && s->p.problems > 0)
    refusal = std::to_string(s->p.problems) + " problem(s) (--strict)";
  if (!refusal.empty()) {
    add_message(&s->messages, s->staged, refusal + "; nothing installed");
    s->refused = true;
    s->status = kExitProblems;
    return;
  }
  if (o.dry_run) return;
  if (!map_unchanged(s->p.map)) {
    s->fail(s->staged, "changed while it was read; nothing installed (run again)");
    return;
  }
}

void drop_all(Staging *s) {
  for (PendingIndex &pending : s->p.pending) discard(&pending);
  drop_temp(&s->map_temp);
}

// Indexes first, then the map, then the directory.
bool commit_staged(Staging *s, const InstallOptions &o) {
  std::vector<PendingIndex> files = std::move(s->p.pending);
  s->p.pending.clear();
  files.push_back({s->target, std::move(s->map_temp)});
  s->map_temp.clear();
  std::string error;
  if (!commit(&files, &error, o.before_rename, o.hook_arg)) {
    s->fail(s->target, error);
    return false;
  }
  if (s->consume) consume_staged(*s);
  return true;
}

std::string summary(const Staging &s, bool dry_run) {
  const Diff &d = s.diff;
  return s.target + ": " + std::to_string(d.before) + " records before, " +
         std::to_string(d.after) + " after: " + std::to_string(d.added) + " added, " +
         std::to_string(d.removed) + " removed, " + std::to_string(d.changed) + " changed" +
         (dry_run ? " (dry run: nothing changed)" : "") + "\n";
}

}  // namespace

int run_install(const InstallOptions &options) {
  Staging stagings[2];
  stagings[0].db = Db::Passwd;
  stagings[0].target = options.passwd_map;
  stagings[0].staged = options.new_passwd;
  stagings[1].db = Db::Group;
  stagings[1].target = options.group_map;
  stagings[1].staged = options.new_group;
  bool named = !options.new_passwd.empty() || !options.new_group.empty();
  for (Staging &s : stagings) {
    s.named = !s.staged.empty();
    if (!named) s.staged = s.target + ".new";
  }

  UpdateLock lock;
  std::string error;
  if (!lock_maps({options.passwd_map, options.group_map}, options.wait, &lock, &error)) {
    report("install", error);
    return kExitFailure;
  }
  if (!options.dry_run) {
    remove_stale_temps(options.passwd_map, Db::Passwd);
    remove_stale_temps(options.group_map, Db::Group);
  }

  in_parallel([&] { if (!stagings[1].staged.empty()) stage(&stagings[1], options); },
              [&] { if (!stagings[0].staged.empty()) stage(&stagings[0], options); });
  int status = kExitOk;
  bool any = false;
  for (Staging &s : stagings) {
    fputs(s.messages.c_str(), stderr);
    s.messages.clear();
    status = std::max(status, s.status);
    any = any || s.present;
  }
  if (!any && status == kExitOk) {
    report("install", "nothing staged (" + stagings[0].staged + ", " + stagings[1].staged +
                          "): nothing to do");
    return kExitOk;
  }
  // Both maps or neither: users and groups name each other.
  bool go = !options.dry_run && status != kExitFailure &&
            std::none_of(std::begin(stagings), std::end(stagings),
                         [](const Staging &s) { return s.refused; });
  if (!go) {
    for (Staging &s : stagings) drop_all(&s);
    if (options.dry_run)
      for (const Staging &s : stagings)
        if (s.present && s.status != kExitFailure) fputs(summary(s, true).c_str(), stdout);
    if (status != kExitFailure && !options.dry_run)
      report("install", "nothing installed");
    return status;
  }
  for (Staging &s : stagings) {
    if (!s.present) continue;
    if (!commit_staged(&s, options)) {
      fputs(s.messages.c_str(), stderr);
      for (Staging &t : stagings) drop_all(&t);
      return kExitFailure;
    }
    fputs(summary(s, false).c_str(), stdout);
  }
  fflush(stdout);
  for (const Staging &s : stagings)
    if (s.present && !invalidate_cache(s.db == Db::Passwd ? "passwd" : "group", &error))
      report(s.target, error);
  return status;
}

}  // namespace vesk::tool
