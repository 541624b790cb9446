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
#include <vector>

#include "core/index_tool.h"
#include "keys/keys_commands.h"
#include "lookup/index_format.h"
#include "map/files.h"
#include "nss_vesk.h"

namespace vesk::tool {

namespace {

// How two generations of a map differ, by name (records without a name
// are not counted).
struct Diff {
  size_t before = 0, after = 0, added = 0, removed = 0, changed = 0;
  size_t renumbered = 0;  // of the changed: a new uid or gid
  size_t thinned = 0;     // of the changed, not renumbered: groups losing more
                          // than --max-drop of their members
  size_t left_out = 0;    // lines of the new map the policy refused
};

// The id field of a map line (the third), or UINT64_MAX.
uint64_t line_id(std::string_view line) {
  size_t c1 = line.find(':');
  size_t c2 = c1 == line.npos ? c1 : line.find(':', c1 + 1);
  if (c2 == line.npos) return UINT64_MAX;
  uint64_t id = 0;
  size_t i = c2 + 1;
  for (; i < line.size() && line[i] >= '0' && line[i] <= '9' && id <= UINT32_MAX; ++i)
    id = id * 10 + static_cast<uint64_t>(line[i] - '0');
  return i == c2 + 1 ? UINT64_MAX : id;
}

// The members of a group line (its fourth field), sorted, each once.
std::vector<std::string_view> members_of(std::string_view line) {
  std::vector<std::string_view> out;
  size_t at = 0;
  for (int field = 0; field < 3; ++field) {
    at = line.find(':', at);
    if (at == line.npos) return out;
    ++at;
  }
  std::string_view list = line.substr(at);
  list = list.substr(0, list.find(':'));
  while (!list.empty()) {
    size_t comma = list.find(',');
    std::string_view m = list.substr(0, comma);
    if (!m.empty()) out.push_back(m);
    list = comma == list.npos ? std::string_view() : list.substr(comma + 1);
  }
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

// Whether the group line `after` lacks more than `max_drop` percent of the
// members of `before`: a group emptied by a broken export (values cut
// short, a range never read) is as lost as a group removed.
bool loses_members(std::string_view before, std::string_view after, double max_drop) {
  std::vector<std::string_view> was = members_of(before);
  if (was.empty()) return false;
  std::vector<std::string_view> now = members_of(after);
  size_t lost = 0;
  for (std::string_view m : was)
    if (!std::binary_search(now.begin(), now.end(), m)) ++lost;
  return static_cast<double>(lost) * 100 > max_drop * static_cast<double>(was.size());
}

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
  Db db;
  double max_drop;
  size_t j = 0;
  Diff d{};

  const char *next_name() const { return next.name_of(next.records[order[j]]); }
  void current(const char *name, std::string_view line) {
    ++d.before;
    int c = 1;
    while (j < order.size() && (c = strcmp(next_name(), name)) < 0) ++d.added, ++j;
    if (c == 0) {
      const MapRecord &r = next.records[order[j]];
      std::string_view next_line = next_map.line(r.offset);
      if (next_line != line) {
        ++d.changed;
        if (line_id(line) != r.id) ++d.renumbered;
        else if (db == Db::Group && loses_members(line, next_line, max_drop)) ++d.thinned;
      }
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
bool compare_with_current(Db db, const std::string &target, int source_fd, off_t source_size,
                          const Prepared &next, double max_drop, Diff *diff, std::string *error) {
  Mapping next_map(source_fd, source_size);
  if (next_map.data == nullptr && source_size > 0) {
    *error = strerror(errno);
    return false;
  }
  DiffWalk walk{next.scan, next.by_name, next_map, db, max_drop};
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
  std::string label;   // what messages call it
  bool named = false;  // given on the command line: never removed, and must exist
  bool present = false;
  struct stat found {};  // the staged file itself (not followed), when found
  std::string map_temp;  // the new map beside the map, under a temporary name
  Prepared p;
  Diff diff;
  int status = kExitOk;
  bool refused = false;
  bool unchanged = false;  // the new map and its indexes are the current ones
  bool completed = false;  // an interrupted install was completed
  std::string messages;

  void fail(const std::string &where, const std::string &text) {
    add_message(&messages, where == staged ? label : where, text);
    status = kExitFailure;
  }
  void refuse(const std::string &text) {
    add_message(&messages, label, text + "; nothing installed");
    refused = true;
    status = combine(status, kExitRefused);
  }
};

// Opens the staged file for reading without following a symbolic link
// (unless asked to) and makes sure that it is a regular file before a byte
// of it is read: a device is never opened, a FIFO never waited for.
// Returns the descriptor, or -1 with *refusal (the file is not acceptable)
// or *error (it can't be read) set.
int open_staged(const std::string &path, bool follow, const struct stat &seen,
                std::string *refusal, std::string *error) {
  if (S_ISLNK(seen.st_mode) && !follow) {
    *refusal = "is a symbolic link (--follow-symlinks installs what it points to)";
    return -1;
  }
  struct stat st = seen;
  if (S_ISLNK(seen.st_mode) && stat(path.c_str(), &st) != 0) {
    *error = strerror(errno);
    return -1;
  }
  if (!S_ISREG(st.st_mode)) {
    *refusal = "is not a regular file";
    return -1;
  }
  int fd = open(path.c_str(),
                O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | (follow ? 0 : O_NOFOLLOW));
  struct stat opened;
  if (fd < 0 || fstat(fd, &opened) != 0) {
    *error = strerror(errno);
    if (fd >= 0) close(fd);
    return -1;
  }
  if (!S_ISREG(opened.st_mode) || opened.st_dev != st.st_dev || opened.st_ino != st.st_ino) {
    close(fd);
    *error = "was replaced while it was opened; nothing installed (run again)";
    return -1;
  }
  return fd;
}

// Copies bytes [from, from + length) of `in` to the end of `out`.
bool copy_range(int in, uint64_t from, uint64_t length, int out, std::vector<char> *buffer) {
  off_t at = static_cast<off_t>(from);
  bool plain = !buffer->empty();
  while (length > 0) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(length, 1 << 30));
    ssize_t n;
    if (!plain) {
      n = copy_file_range(in, &at, out, nullptr, want, 0);
      if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
        plain = true;
        buffer->resize(1 << 20);
        continue;
      }
    } else {
      n = pread(in, buffer->data(), std::min(want, buffer->size()), at);
      for (ssize_t done = 0; n > 0 && done < n;) {
        ssize_t w = write(out, buffer->data() + done, static_cast<size_t>(n - done));
        if (w < 0 && errno != EINTR) return false;
        if (w > 0) done += w;
      }
      if (n > 0) at += n;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {  // the file is shorter than it was
      errno = ENODATA;
      return false;
    }
    length -= static_cast<uint64_t>(n);
  }
  return true;
}

// Copies the staged file into a new file of our own beside the map: never
// the staged inode itself, so its owner, its mode and any descriptor still
// open on it have no hold on the map.  The copy is what is read and
// checked.  Fails if the staged file changes while it is copied.
bool copy_staged(int in, const struct stat &before, const std::string &target, std::string *temp,
                 std::string *error) {
  Fd out(create_temp(target, temp));
  if (out.fd < 0) {
    *error = "can't create a temporary file beside " + target + ": " + strerror(errno);
    return false;
  }
  std::vector<char> buffer;
  if (!copy_range(in, 0, static_cast<uint64_t>(before.st_size), out.fd, &buffer)) {
    *error = "can't copy to " + *temp + ": " + strerror(errno);
    drop_temp(temp);
    return false;
  }
  struct stat after;
  char extra;
  if (fstat(in, &after) != 0 || after.st_size != before.st_size ||
      after.st_mtim.tv_sec != before.st_mtim.tv_sec ||
      after.st_mtim.tv_nsec != before.st_mtim.tv_nsec ||
      pread(in, &extra, 1, before.st_size) != 0) {
    *error = "changed while it was copied; nothing installed (run again)";
    drop_temp(temp);
    return false;
  }
  return true;
}

// Writes the new map again without the lines left out, into another
// temporary file, and moves the records' offsets to match.
bool leave_lines_out(Staging *s, std::string *error) {
  MapScan &scan = s->p.scan;
  Fd in(open(s->map_temp.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  std::string temp;
  Fd out(create_temp(s->target, &temp));
  if (in.fd < 0 || out.fd < 0) {
    *error = std::string("can't create a temporary file beside ") + s->target + ": " +
             strerror(errno);
    drop_temp(&temp);
    return false;
  }
  std::vector<char> buffer;
  uint64_t at = 0, size = s->p.map.size;
  bool ok = true;
  for (const LeftOut &l : scan.left_out) {
    ok = ok && copy_range(in.fd, at, l.offset - at, out.fd, &buffer);
    at = l.offset + l.length;
  }
  ok = ok && copy_range(in.fd, at, size - at, out.fd, &buffer);
  struct stat st;
  if (!ok || fstat(out.fd, &st) != 0) {
    *error = "can't write " + temp + ": " + strerror(errno);
    drop_temp(&temp);
    return false;
  }
  // Records and left-out lines are both in map order.
  uint64_t gone = 0;
  size_t next = 0;
  for (MapRecord &r : scan.records) {
    while (next < scan.left_out.size() && scan.left_out[next].offset < r.offset)
      gone += scan.left_out[next++].length;
    r.offset -= gone;
  }
  drop_temp(&s->map_temp);
  s->map_temp = temp;
  s->p.map.path = temp;
  s->p.map.st = st;
  s->p.map.size = static_cast<uint64_t>(st.st_size);
  return true;
}

// True when the files at `a` and `b` hold the same bytes.
bool same_bytes(const std::string &a, const std::string &b) {
  Mapping ma, mb;
  struct stat sa, sb;
  if (stat(a.c_str(), &sa) != 0 || stat(b.c_str(), &sb) != 0 || sa.st_size != sb.st_size)
    return false;
  if (sa.st_size == 0) return true;
  return ma.open(a) && mb.open(b) && ma.size == mb.size && memcmp(ma.data, mb.data, ma.size) == 0;
}

// The new map and its indexes hold exactly the bytes of the current ones,
// and the current indexes are not older than the map: installing would
// change nothing that a lookup sees.
bool already_installed(const Staging &s) {
  struct stat map_st;
  if (stat(s.target.c_str(), &map_st) != 0 || !same_bytes(s.map_temp, s.target)) return false;
  for (const PendingIndex &index : s.p.pending) {
    struct stat st;
    if (stat(index.path.c_str(), &st) != 0 || st.st_mtim.tv_sec < map_st.st_mtim.tv_sec ||
        !same_bytes(index.temp, index.path))
      return false;
  }
  return true;
}

// Removes the staged file now that it is installed, unless a newer one has
// taken its place meanwhile: whatever stands there is first renamed aside
// (atomically), and put back if it is not the file installed.  Only the
// default staged files (MAP.new) are consumed; a file named on the command
// line is never touched.
void consume_staged(const Staging &s) {
  if (s.named) return;
  std::string aside;
  int fd = create_temp(s.staged, &aside);
  if (fd < 0) return;
  close(fd);
  struct stat now;
  if (rename(s.staged.c_str(), aside.c_str()) != 0 || lstat(aside.c_str(), &now) != 0) {
    drop_temp(&aside);
    return;
  }
  if (now.st_dev != s.found.st_dev || now.st_ino != s.found.st_ino ||
      now.st_mtim.tv_sec != s.found.st_mtim.tv_sec ||
      now.st_mtim.tv_nsec != s.found.st_mtim.tv_nsec) {
    if (renameat2(AT_FDCWD, aside.c_str(), AT_FDCWD, s.staged.c_str(), RENAME_NOREPLACE) == 0) {
      forget_temp(aside);
      return;
    }
    // An even newer one is staged: the one set aside is outdated.
  }
  drop_temp(&aside);
}

std::string percent(size_t part, size_t whole) {
  char text[32];
  snprintf(text, sizeof text, "%.1f%%", 100.0 * static_cast<double>(part) / static_cast<double>(whole));
  return text;
}

// The guards against a broken export: why the new map must not replace
// the current one, or "".
std::string guard(const Staging &s, const InstallOptions &o) {
  const Diff &d = s.diff;
  char limit[32];
  snprintf(limit, sizeof limit, "%g%%", o.max_drop);
  std::string refusal;
  size_t staged = d.after + d.left_out;
  // Records renumbered count as removed: another uid is another user to
  // every file, process and group that names the old one; so do groups
  // that lose more than --max-drop of their members.
  size_t lost = d.removed + d.renumbered + d.thinned;
  if (d.before > 0 && d.after == 0) {
    refusal = "has no records" + (d.left_out > 0 ? " to serve (" + std::to_string(d.left_out) +
                                                       " left out)"
                                                 : std::string()) +
              ", the current map has " + std::to_string(d.before);
  } else if (d.before > 0 &&
             static_cast<double>(lost) * 100 > o.max_drop * static_cast<double>(d.before)) {
    refusal = "would remove " + std::to_string(d.removed) +
              (d.renumbered > 0 ? " and renumber " + std::to_string(d.renumbered) : "") +
              (d.thinned > 0 ? " and take more than " + std::string(limit) +
                                   " of their members from " + std::to_string(d.thinned)
                             : "") +
              " of the " + std::to_string(d.before) + " records of the current map (" +
              percent(lost, d.before) + "), more than --max-drop " + limit;
  } else if (staged > 0 &&
             static_cast<double>(d.left_out) * 100 > o.max_drop * static_cast<double>(staged)) {
    refusal = "would leave out " + std::to_string(d.left_out) + " of its " + std::to_string(staged) +
              " records (" + percent(d.left_out, staged) + "), more than --max-drop " + limit;
  }
  if (refusal.empty() || o.force) return "";
  return refusal + "; --force installs it anyway";
}

// Opens the new map written beside the map, for reading.
bool open_copy(Staging *s, Fd *copy) {
  copy->fd = open(s->map_temp.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (copy->fd < 0) s->fail(s->map_temp, strerror(errno));
  return copy->fd >= 0;
}

// Reads the staged map, checks it and compares it with the current one;
// unless this is a dry run, leaves the new map and its indexes as
// temporary files beside the map, flushed to disk.
void stage(Staging *s, const InstallOptions &o, const PolicyCheck &policy) {
  if (lstat(s->staged.c_str(), &s->found) != 0) {
    if (errno != ENOENT || s->named) s->fail(s->staged, strerror(errno));
    return;
  }
  struct stat current;
  if (lstat(s->target.c_str(), &current) == 0 && current.st_dev == s->found.st_dev &&
      current.st_ino == s->found.st_ino) {
    // MAP.new naming the map itself is what an install of an earlier
    // version, killed just after putting the map in place, leaves behind.
    if (s->named)
      s->fail(s->staged, "is the current map itself: nothing to install (build indexes it)");
    else if (!o.dry_run)
      consume_staged(*s), s->completed = true;
    return;
  }
  s->present = true;
  std::string refusal, error;
  Fd staged(open_staged(s->staged, o.follow_symlinks, s->found, &refusal, &error));
  if (staged.fd < 0) {
    if (!refusal.empty())
      s->refuse(refusal);
    else
      s->fail(s->staged, error);
    return;
  }
  struct stat staged_st;
  if (fstat(staged.fd, &staged_st) != 0) {
    s->fail(s->staged, strerror(errno));
    return;
  }
  // The copy of our own is what is checked and installed; a dry run reads
  // the staged file itself.
  Fd copy;
  if (!o.dry_run) {
    if (o.adopt && s->named) {
      // The caller's own temporary file beside the map, which nothing else
      // writes: installed as it is, renamed into place or dropped.
      s->map_temp = s->staged;
    } else if (!copy_staged(staged.fd, staged_st, s->target, &s->map_temp, &error)) {
      s->fail(s->staged, error);
      return;
    }
    if (!open_copy(s, &copy)) return;
    // Start writing the new map out now, so that the flush before the
    // renames waits less.
    sync_file_range(copy.fd, 0, 0, SYNC_FILE_RANGE_WRITE);
  }
  int source_fd = o.dry_run ? staged.fd : copy.fd;

  // A transfer cut short leaves a map whose last line is cut: its fields
  // would become a record (a gid of 27001 cut to 27).
  char last = '\n';
  if (staged_st.st_size > 0 && pread(source_fd, &last, 1, staged_st.st_size - 1) != 1) {
    s->fail(s->staged, strerror(errno));
    return;
  }
  if (last != '\n') {
    s->refuse("does not end in a newline (a transfer cut short?)");
    return;
  }

  s->p.policy = &policy;
  s->p.leave_out = true;
  s->p.explain_x = true;
  s->p.source_fd = source_fd;
  s->status = prepare_map(s->db, o.dry_run ? s->staged : s->map_temp, s->label, s->target, &s->p,
                          &s->messages);
  if (s->status == kExitFailure) return;
  if (s->status == kExitProblems) s->status = kExitInstalledWithProblems;
  s->diff.left_out = s->p.scan.left_out.size();
  if (!o.dry_run && !s->p.scan.left_out.empty()) {
    close(copy.release());
    if (!leave_lines_out(s, &error)) {
      s->fail(s->staged, error);
      return;
    }
    if (!open_copy(s, &copy)) return;
    source_fd = copy.fd;
  }
  struct stat source_st;
  if (fstat(source_fd, &source_st) != 0) {
    s->fail(s->staged, strerror(errno));
    return;
  }

  // The comparison with the current map runs while the new map reaches the
  // disk and its indexes are written (they are discarded if it is refused).
  bool compared = false, written = o.dry_run;
  std::string compare_error;
  auto compare = [&] {
    compared = compare_with_current(s->db, s->target, source_fd, source_st.st_size, s->p,
                                    o.max_drop, &s->diff, &compare_error);
  };
  if (o.dry_run) {
    compare();
  } else {
    in_parallel(compare, [&] {
      // The new map: owned by us, readable by every process, on disk before
      // it is renamed into place.  Its indexes must not be older than it.
      // Only its data needs flushing here: its name and mode reach the disk
      // with the directory.
      if (fchmod(source_fd, 0644) != 0 || fdatasync(source_fd) != 0)
        error = s->map_temp + ": " + strerror(errno);
      else if (!write_indexes(&s->p, source_st.st_mtim, &error))
        error = s->target + ": " + error;
      else
        written = true;
    });
  }
  s->diff.left_out = s->p.scan.left_out.size();
  if (!compared) s->fail("install", "can't compare the maps: " + compare_error);
  if (!written) s->fail(s->staged, error + "; nothing installed");
  if (s->status == kExitFailure) return;

  std::string refusal_text = guard(*s, o);
  if (refusal_text.empty() && o.strict && s->p.problems > 0)
    refusal_text = std::to_string(s->p.problems) + " problem(s) (--strict)";
  if (!refusal_text.empty()) {
    s->refuse(refusal_text);
    return;
  }
  if (o.dry_run) return;
  if (!map_unchanged(s->p.map)) {
    s->fail(s->staged, "changed while it was read; nothing installed (run again)");
    return;
  }
  s->unchanged = already_installed(*s);
}

void drop_all(Staging *s) {
  for (PendingIndex &pending : s->p.pending) discard(&pending);
  drop_temp(&s->map_temp);
}

std::string summary(const Staging &s, bool dry_run) {
  const Diff &d = s.diff;
  return s.target + ": " + std::to_string(d.before) + " records before, " +
         std::to_string(d.after) + " after: " + std::to_string(d.added) + " added, " +
         std::to_string(d.removed) + " removed, " + std::to_string(d.changed) + " changed (" +
         std::to_string(d.renumbered) + " renumbered" +
         (d.thinned > 0 ? ", " + std::to_string(d.thinned) + " losing more than --max-drop of their members" : "") + "), " +
         std::to_string(d.left_out) +
         " left out" + (dry_run ? " (dry run: nothing changed)" : s.unchanged ? " (unchanged)" : "") +
         "\n";
}

// What one round did.
struct Round {
  int status = kExitOk;
  bool any = false;              // something was staged
  bool changed[2] = {false, false};  // a file of the passwd / group map was replaced
};

// One round: every staged map checked, then both installed or neither.
Round install_round(const InstallOptions &options, const PolicyCheck &policy,
                    Staging (&stagings)[2]) {
  Round round;
  in_parallel([&] { if (!stagings[1].staged.empty()) stage(&stagings[1], options, policy); },
              [&] { if (!stagings[0].staged.empty()) stage(&stagings[0], options, policy); });
  for (Staging &s : stagings) {
    fputs(s.messages.c_str(), stderr);
    s.messages.clear();
    round.status = combine(round.status, s.status);
    round.any = round.any || s.present;
    // Completing an install that was interrupted: its cache was never told.
    if (s.completed) round.changed[&s - stagings] = true;
  }
  if (!round.any) return round;
  // Both maps or neither: users and groups name each other.
  bool go = !options.dry_run && round.status != kExitFailure &&
            std::none_of(std::begin(stagings), std::end(stagings),
                         [](const Staging &s) { return s.refused; });
  if (!go) {
    for (Staging &s : stagings) drop_all(&s);
    if (options.dry_run)
      for (const Staging &s : stagings)
        if (s.present && s.status != kExitFailure) fputs(summary(s, true).c_str(), stdout);
    if (round.status != kExitFailure && !options.dry_run)
      report("install", "nothing installed");
    return round;
  }
  // The maps that change go in as one set, under the journal.
  std::vector<PendingIndex> files;
  for (size_t i = 0; i < 2; ++i) {
    Staging &s = stagings[i];
    if (!s.present) continue;
    if (s.unchanged) {
      // Nothing to replace; a staged file consumed completes what may have
      // been an interrupted install, so the cache is told all the same.
      drop_all(&s);
      consume_staged(s);
      round.changed[i] = !s.named;
      continue;
    }
    for (PendingIndex &index : s.p.pending) files.push_back(std::move(index));
    s.p.pending.clear();
    files.push_back({s.target, std::move(s.map_temp)});
    s.map_temp.clear();
    round.changed[i] = true;  // told to the cache even if the renames fail half-way
  }
  std::string error;
  if (!files.empty() && !commit_set(&files, journal_path(options.passwd_map), &error,
                                    options.before_rename, options.hook_arg)) {
    report("install", error);
    for (Staging &t : stagings) drop_all(&t);
    round.status = kExitFailure;
    return round;
  }
  for (size_t i = 0; i < 2; ++i) {
    Staging &s = stagings[i];
    if (!s.present) continue;
    if (!s.unchanged) consume_staged(s);
    fputs(summary(s, false).c_str(), stdout);
  }
  return round;
}

}  // namespace

int run_install(const InstallOptions &options) {
  bool named = !options.new_passwd.empty() || !options.new_group.empty() || !options.new_keys.empty();
  UpdateLock lock;
  std::string error;
  std::vector<std::string> maps = {options.passwd_map, options.group_map};
  if (!options.keys_map.empty()) maps.push_back(options.keys_map);
  if (!lock_maps(maps, options.wait, &lock, &error)) {
    report("install", error);
    return kExitFailure;
  }
  // The users of the map in service count as served before: the local
  // memberships an administrator gave them stay theirs.
  Policy rules = options.policy;
  rules.served_passwd_map = options.passwd_map;
  PolicyCheck policy;
  if (!prepare_policy(rules, &policy, &error)) {
    report("install", error);
    return kExitFailure;
  }
  bool repaired = false;
  if (!options.dry_run) {
    // A run killed between the renames of a set: completed first, before
    // its temporary files would be removed as leftovers.
    if (!replay_journal(journal_path(options.passwd_map), &repaired, &error)) {
      report("install", error);
      return kExitFailure;
    }
    if (repaired)
      report("install", "completed an interrupted install of " + options.passwd_map + " and " +
                            options.group_map);
    remove_stale_temps(options.passwd_map, Db::Passwd);
    remove_stale_temps(options.group_map, Db::Group);
  }
  // A map staged while a round runs is installed by the next one (MAP.new
  // only); a staged map that a round refused stays as it is and does not
  // start another.
  constexpr int kRounds = 8;
  int status = kExitOk;
  bool any = repaired, changed[2] = {repaired, repaired};
  struct stat seen[2] = {};
  bool seen_any[2] = {false, false};
  for (int round_number = 0; round_number < kRounds; ++round_number) {
    Staging stagings[2];
    stagings[0].db = Db::Passwd;
    stagings[0].target = options.passwd_map;
    stagings[0].staged = options.new_passwd;
    stagings[1].db = Db::Group;
    stagings[1].target = options.group_map;
    stagings[1].staged = options.new_group;
    for (Staging &s : stagings) {
      s.named = !s.staged.empty();
      if (!named) s.staged = s.target + ".new";
      const std::string &label = &s == stagings ? options.new_passwd_label : options.new_group_label;
      s.label = label.empty() ? s.staged : label;
    }
    // A map just before the round's own: skip one already judged.
    if (round_number > 0) {
      bool fresh = false;
      for (int i = 0; i < 2; ++i) {
        struct stat st;
        if (lstat(stagings[i].staged.c_str(), &st) != 0) continue;
        fresh = fresh || !seen_any[i] || st.st_dev != seen[i].st_dev ||
                st.st_ino != seen[i].st_ino || st.st_mtim.tv_sec != seen[i].st_mtim.tv_sec ||
                st.st_mtim.tv_nsec != seen[i].st_mtim.tv_nsec || st.st_size != seen[i].st_size;
      }
      if (!fresh) break;
    }
    Round round = install_round(options, policy, stagings);
    for (int i = 0; i < 2; ++i) {
      changed[i] = changed[i] || round.changed[i];
      if (stagings[i].present) seen[i] = stagings[i].found, seen_any[i] = true;
      // A staged file consumed by the round must not count as judged.
      struct stat st;
      if (lstat(stagings[i].staged.c_str(), &st) != 0) seen_any[i] = false;
    }
    if (round.any) any = true;
    if (round.any || round_number == 0) status = combine(status, round.status);
    if (named || options.dry_run || round.status == kExitFailure) break;
  }
  // The keys map follows the passwd map: staged, or judged again when the
  // passwd map changed (its keys are served only for that map's users).
  if (!options.keys_map.empty() && status != kExitFailure) {
    bool staged = !options.new_keys.empty() ||
                  (!named && access((options.keys_map + ".new").c_str(), F_OK) == 0);
    if (staged || changed[0]) {
      keys::KeysInstall k;
      k.map = options.keys_map;
      k.staged = options.new_keys;
      k.default_staged = !named;
      k.label = options.new_keys_label;
      k.passwd_map = options.passwd_map;
      k.max_drop = options.max_drop;
      k.force = options.force;
      k.follow_symlinks = options.follow_symlinks;
      k.dry_run = options.dry_run;
      k.strict = options.strict;
      status = combine(status, keys::install_keys(k, options.policy));
      any = any || staged;
    }
  }
  fflush(stdout);
  // A cache in front of the module forgets what the old files said: after
  // every run that replaced a file, even one that failed half-way.
  for (int i = 0; i < 2; ++i)
    if (changed[i] && !invalidate_cache(i == 0 ? "passwd" : "group", &error))
      report(i == 0 ? options.passwd_map : options.group_map, error);
  if (!any && status == kExitOk) {
    report("install", "nothing staged (" +
                          (named ? options.new_passwd + options.new_group
                                 : options.passwd_map + ".new, " + options.group_map + ".new") +
                          "): nothing to do");
    return kExitOk;
  }
  return status;
}

}  // namespace vesk::tool
