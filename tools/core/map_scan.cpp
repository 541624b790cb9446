// Reading a map file and finding its records with the module's line reader.
#include <errno.h>
#include <stdio.h>
#include <stdio_ext.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <new>
#include <type_traits>

#include "core/index_tool.h"
#include "map/database.h"
#include "map/files.h"
#include "nss_vesk.h"

namespace vesk::tool {

void report(const std::string &where, const std::string &text) {
  std::string message = "vesk-index: " + where + ": " + text + "\n";
  fputs(message.c_str(), stderr);
}

std::string at_line(const std::string &file, uint64_t line) {
  return file + ":" + std::to_string(line);
}

DbWords words(Db db) {
  if (db == Db::Passwd) return {"user", "uid", NSS_VESK_SUFFIX_UID};
  return {"group", "gid", NSS_VESK_SUFFIX_GID};
}

bool map_unchanged(const MapFile &map) {
  struct stat now;
  if (stat(map.path.c_str(), &now) != 0) return false;
  return now.st_dev == map.st.st_dev && now.st_ino == map.st.st_ino &&
         now.st_size == map.st.st_size && static_cast<uint64_t>(now.st_size) == map.size &&
         now.st_mtim.tv_sec == map.st.st_mtim.tv_sec &&
         now.st_mtim.tv_nsec == map.st.st_mtim.tv_nsec;
}

namespace {

// Walks the map's lines in step with the reader.  The reader consumes whole
// lines and skips comments, blank lines and lines it can't parse; after it
// returns a record, the stream stands just past that record's line.
struct LineWalker {
  const char *data;  // a chunk of whole lines
  size_t size;
  uint64_t &line;     // number of the last line walked, across chunks
  size_t pos = 0;     // start of the next line not yet walked, in the chunk

  // Walks one line; returns its start and sets *end past its newline.
  size_t next(size_t *end) {
    size_t start = pos;
    const void *nl = memchr(data + pos, '\n', size - pos);
    *end = nl == nullptr ? size : static_cast<size_t>(static_cast<const char *>(nl) - data) + 1;
    pos = *end;
    ++line;
    return start;
  }

  // Walks one line that ends at `end` (past its newline); returns its start.
  size_t take(size_t end) {
    size_t start = pos;
    pos = end;
    ++line;
    return start;
  }

  // What the reader skips without complaint: lines that are empty after
  // leading white space, or whose first other character is '#' (or a NUL,
  // which ends the line as the reader sees it).
  bool ignorable(size_t start, size_t end) const {
    size_t p = start;
    while (p < end && (data[p] == ' ' || (data[p] >= '\t' && data[p] <= '\r'))) ++p;
    return p == end || data[p] == '#' || data[p] == '\0';
  }
};

// A fast path for the common line, taken only where the outcome is certain.
// The C library's readers accept any line that starts
//   name:password:uid:gid:   (passwd)
//   name:password:gid:       (group)
// with a name that begins with a letter, digit or '_' (so no leading white
// space, no '+'/'-' entry, no comment), no NUL before the last of those
// colons, and ids of 1 to 9 decimal digits: what follows is taken as it
// stands (plain string fields; the members a list), so nothing there can
// make them reject the line or change its name or id.  Anything else goes
// to the reader.  Where the module brings its own readers they decide
// every line.
template <typename Record>
bool quick_parse(const char *line, size_t len, size_t *name_len, uint32_t *id,
                 QuickFields *fields) {
  const bool passwd = std::is_same_v<Record, struct passwd>;
#if defined(VESK_HAVE_FGETPWENT_R) && defined(VESK_HAVE_FGETGRENT_R)
  const char *p = line, *end = line + len;
  if (len == 0) return false;
  unsigned char first = static_cast<unsigned char>(line[0]);
  if (!((first >= 'a' && first <= 'z') || (first >= 'A' && first <= 'Z') ||
        (first >= '0' && first <= '9') || first == '_'))
    return false;
  // The name and the password: any bytes but ':' and NUL.
  for (int field = 0; field < 2; ++field) {
    const char *start = p;
    while (p < end && *p != ':' && *p != '\0') ++p;
    if (p == end || *p != ':') return false;
    if (field == 0) *name_len = static_cast<size_t>(p - line);
    if (field == 1) fields->password = std::string_view(start, static_cast<size_t>(p - start));
    ++p;
  }
  // The uid and gid, or the gid.
  for (int field = 0; field < (passwd ? 2 : 1); ++field) {
    const char *digits = p;
    uint32_t value = 0;
    while (p < end && p - digits < 10) {
      unsigned digit = static_cast<unsigned char>(*p) - unsigned{'0'};
      if (digit > 9) break;
      value = value * 10 + digit;
      ++p;
    }
    if (p == digits || p - digits > 9 || p == end || *p != ':') return false;
    if (field == 0) *id = value;
    fields->gid = value;
    // A leading zero reads the same here, but is no plain decimal id.
    if (*digits == '0' && p - digits > 1) fields->plain_ids = false;
    ++p;
  }
  fields->rest = static_cast<size_t>(p - line);
  return true;
#else
  (void)line, (void)len, (void)name_len, (void)id, (void)passwd, (void)fields;
  return false;
#endif
}

template <typename Record>
bool scan_chunk(const char *data, size_t size, uint64_t base, uint64_t &line, MapScan *scan,
                std::vector<char> &buffer, std::string *error) {
  using Database = vesk::Database<Record>;
  const bool passwd = std::is_same_v<Record, struct passwd>;
  const char *kind = passwd ? "passwd" : "group";
  const char *thing = passwd ? "user" : "group";
  FILE *stream = fmemopen(const_cast<char *>(data), size, "r");
  if (stream == nullptr) {
    *error = strerror(errno);
    return false;
  }
  __fsetlocking(stream, FSETLOCKING_BYCALLER);  // this thread's own stream
  LineWalker walk{data, size, line};
  // A record never needs more room than a few times its line (the group
  // reader adds one pointer per member): a reader still asking beyond that
  // is not behaving as documented.
  const size_t buffer_limit = 8 * size + 64 * 1024;
  bool ok = true;
  bool stream_in_step = true;  // the stream stands at walk.pos
  Record record;
  std::string reason, note;
  // A line the reader skips: reported, or left out by a policy that leaves
  // out what it refuses.
  auto invalid = [&](size_t from, size_t to) {
    if (scan->policy == nullptr || !scan->leave_out) {
      scan->problems.push_back(
          {walk.line, std::string("not a valid ") + kind + " line; the module skips it"});
      return;
    }
    std::string_view text(data + from, to - from - (data[to - 1] == '\n' ? 1 : 0));
    if (judge_line(*scan->policy, passwd ? Db::Passwd : Db::Group, text, &reason, &note))
      reason = std::string("not a valid ") + kind + " line";
    scan->left_out.push_back({base + from, to - from});
    scan->problems.push_back({walk.line, "left out: " + reason});
  };
  for (;;) {
    const char *name;
    size_t name_len = 0;
    uint32_t id = 0;
    size_t start, end;
    QuickFields fields;
    bool judged = false;  // the policy's verdict is already known: accepted
    bool password_x = false;
    const void *nl = walk.pos < size ? memchr(data + walk.pos, '\n', size - walk.pos) : nullptr;
    if (nl != nullptr &&
        quick_parse<Record>(data + walk.pos,
                            static_cast<size_t>(static_cast<const char *>(nl) - data) - walk.pos,
                            &name_len, &id, &fields)) {
      end = static_cast<size_t>(static_cast<const char *>(nl) - data) + 1;
      start = walk.take(end);
      name = data + start;
      stream_in_step = false;
      fields.name_len = name_len;
      fields.id = id;
      password_x = fields.password.size() == 1 && fields.password[0] == 'x';
      judged = scan->policy != nullptr &&
               quickly_acceptable(*scan->policy, passwd, std::string_view(name, end - start - 1),
                                  fields);
    } else {
      if (!stream_in_step && fseeko(stream, static_cast<off_t>(walk.pos), SEEK_SET) != 0) {
        *error = strerror(errno);
        ok = false;
        break;
      }
      stream_in_step = true;
      int rc;
      while ((rc = read_record(stream, &record, buffer.data(), buffer.size())) == ERANGE &&
             buffer.size() < buffer_limit)
        buffer.resize(buffer.size() * 2);
      if (rc == ENOENT) break;
      if (rc != 0) {
        *error = strerror(rc);
        ok = false;
        break;
      }
      off_t stream_pos = ftello(stream);
      if (stream_pos < 0) {
        *error = strerror(errno);
        ok = false;
        break;
      }
      size_t record_end = static_cast<size_t>(stream_pos);
      for (;;) {
        start = walk.next(&end);
        if (end >= record_end) break;
        if (!walk.ignorable(start, end)) invalid(start, end);
      }
      if (end != record_end) {
        *error = "the line reader stopped inside a line";
        ok = false;
        break;
      }
      name = Database::name(record);
      name_len = strlen(name);
      if constexpr (passwd) password_x = strcmp(record.pw_passwd, "x") == 0;
      id = Database::id(record);
    }
    bool refused = false;
    if (scan->policy != nullptr && !judged) {
      std::string_view text(data + start, end - start - (data[end - 1] == '\n' ? 1 : 0));
      if (!judge_line(*scan->policy, passwd ? Db::Passwd : Db::Group, text, &reason, &note)) {
        ++scan->refused;
        refused = true;
        if (scan->leave_out) {
          scan->left_out.push_back({base + start, end - start});
          scan->problems.push_back({walk.line, "left out: " + reason});
          continue;
        }
        scan->problems.push_back({walk.line, "refused: " + reason + " (install leaves it out)"});
      } else if (!note.empty()) {
        scan->problems.push_back({walk.line, note});
      }
    }
    // A password field of "x" sends PAM's account stage to a shadow entry
    // that no map provides: counted, for a note.
    if (passwd && password_x && !refused) ++scan->password_x;
    if (refused) {
    } else if (name_len == 0)
      scan->problems.push_back({walk.line, std::string("empty ") + thing +
                                               " name: not indexed by name; lookups by " +
                                               (passwd ? "uid" : "gid") + " still find it"});
    else if (name_len > kMaxNameLength)
      scan->problems.push_back(
          {walk.line, std::string(thing) + " name of " + std::to_string(name_len) +
                          " bytes is longer than " + std::to_string(kMaxNameLength) +
                          "; it is indexed, but every record of the name index grows to fit it"});
    size_t line_len = end - start;
    if (line_len > NSS_VESK_GRGID_MIN_BUFLEN)
      scan->problems.push_back(
          {walk.line, "line of " + std::to_string(line_len) + " bytes is longer than the " +
                          std::to_string(NSS_VESK_GRGID_MIN_BUFLEN) +
                          "-byte buffer lookups are sized for; callers with a fixed buffer "
                          "get ERANGE for it"});
    if (scan->records.size() >= UINT32_MAX) {  // record numbers are 32-bit
      *error = "more than 4294967294 records";
      ok = false;
      break;
    }
    MapRecord r;
    r.offset = base + start;
    r.line = walk.line;
    r.name = scan->names.size();
    r.name_len = static_cast<uint32_t>(name_len);
    r.id = id;
    scan->names.insert(scan->names.end(), name, name + name_len);
    scan->names.push_back('\0');
    scan->records.push_back(r);
  }
  fclose(stream);
  if (!ok) return false;
  // Lines after the chunk's last record.
  while (walk.pos < walk.size) {
    size_t end;
    size_t start = walk.next(&end);
    if (!walk.ignorable(start, end)) invalid(start, end);
  }
  return true;
}

// Reads bytes [from, to) of the map (to the end of the file if `to` is
// UINT64_MAX) in large chunks of whole lines and hands each to the line
// reader: the reader never looks past a line, so this finds the same
// records as one stream over the whole file, without holding the file.
// `from` must be the start of a line; *lines counts the lines seen and
// *end is where reading stopped.
template <typename Record>
bool scan_range(int fd, uint64_t from, uint64_t to, MapScan *scan, uint64_t *lines,
                uint64_t *end_offset, std::string *error) {
  std::vector<char> chunk(4 << 20);
  std::vector<char> buffer(64 * 1024);  // the reader's
  size_t have = 0;       // bytes in `chunk`
  uint64_t base = from;  // file offset of chunk[0]
  uint64_t line = 0;
  bool eof = false;
  for (;;) {
    while (!eof && have < chunk.size()) {
      uint64_t pos = base + have;
      size_t want = chunk.size() - have;
      if (to != UINT64_MAX) want = static_cast<size_t>(std::min<uint64_t>(want, to - pos));
      ssize_t n = want == 0 ? 0 : pread(fd, chunk.data() + have, want, static_cast<off_t>(pos));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        *error = strerror(errno);
        return false;
      }
      if (n == 0) eof = true;
      have += static_cast<size_t>(n);
    }
    if (have == 0) break;
    size_t end = have;  // at the end of the file the last line may lack its newline
    if (!eof) {
      const char *nl = static_cast<const char *>(memrchr(chunk.data(), '\n', have));
      if (nl == nullptr) {  // one line fills the chunk: make room for more of it
        chunk.resize(chunk.size() * 2);
        continue;
      }
      end = static_cast<size_t>(nl - chunk.data()) + 1;
    }
    if (!scan_chunk<Record>(chunk.data(), end, base, line, scan, buffer, error)) return false;
    memmove(chunk.data(), chunk.data() + end, have - end);
    have -= end;
    base += end;
  }
  *lines = line;
  *end_offset = base;
  return true;
}

// Maps this large are read in two halves at once.
constexpr uint64_t kSplitSize = 8 << 20;

// The start of the first line at or after the middle of the map, or 0.
uint64_t middle_line_start(int fd, uint64_t size) {
  char window[64 * 1024];
  uint64_t at = size / 2 - 1;
  ssize_t n = pread(fd, window, sizeof window, static_cast<off_t>(at));
  if (n <= 0) return 0;
  const void *nl = memchr(window, '\n', static_cast<size_t>(n));
  if (nl == nullptr) return 0;
  uint64_t start = at + static_cast<uint64_t>(static_cast<const char *>(nl) - window) + 1;
  return start < size ? start : 0;
}

template <typename Record>
bool scan_records(int fd, MapFile *map, MapScan *scan, std::string *error) {
  uint64_t size = static_cast<uint64_t>(map->st.st_size);
  uint64_t split = size >= kSplitSize ? middle_line_start(fd, size) : 0;
  uint64_t lines = 0;
  if (split == 0) return scan_range<Record>(fd, 0, UINT64_MAX, scan, &lines, &map->size, error);

  MapScan second;
  second.policy = scan->policy;
  second.leave_out = scan->leave_out;
  second.records.reserve(scan->records.capacity() / 2);
  second.names.reserve(scan->names.capacity() / 2);
  bool first_ok = false, second_ok = false;
  uint64_t first_end = 0, second_lines = 0;
  std::string second_error;
  in_parallel(
      [&] {
        second_ok = scan_range<Record>(fd, split, UINT64_MAX, &second, &second_lines,
                                       &map->size, &second_error);
      },
      [&] { first_ok = scan_range<Record>(fd, 0, split, scan, &lines, &first_end, error); });
  if (!first_ok) return false;
  if (!second_ok) {
    *error = second_error;
    return false;
  }
  // A first half cut short means the map shrank: map_unchanged will tell.
  if (first_end != split) map->size = UINT64_MAX;
  // The second half's lines and names follow the first's.
  uint64_t names = scan->names.size();
  for (MapRecord &r : second.records) {
    r.line += lines;
    r.name += names;
  }
  for (Problem &p : second.problems) p.line += lines;
  scan->records.insert(scan->records.end(), second.records.begin(), second.records.end());
  scan->names.insert(scan->names.end(), second.names.begin(), second.names.end());
  scan->problems.insert(scan->problems.end(), std::make_move_iterator(second.problems.begin()),
                        std::make_move_iterator(second.problems.end()));
  scan->left_out.insert(scan->left_out.end(), second.left_out.begin(), second.left_out.end());
  scan->refused += second.refused;
  scan->password_x += second.password_x;
  return true;
}

}  // namespace

bool scan_map(Db db, const std::string &path, MapFile *map, MapScan *scan, std::string *error) {
  struct stat st;
  Fd fd(open_regular(path.c_str(), &st));
  if (fd.fd < 0) {
    map->path = path;
    *error = errno == EINVAL ? "not a regular file" : strerror(errno);
    return false;
  }
  return scan_fd(db, fd.fd, path, map, scan, error);
}

bool scan_fd(Db db, int fd, const std::string &path, MapFile *map, MapScan *scan,
             std::string *error) {
  map->path = path;
  if (fstat(fd, &map->st) != 0) {
    *error = strerror(errno);
    return false;
  }
  // Most lines are short: about one record per 64 bytes is a fair guess.
  size_t size = static_cast<size_t>(map->st.st_size);
  scan->records.reserve(size / 64 + 16);
  scan->names.reserve(size / 5 + 16);
  bool ok = db == Db::Passwd ? scan_records<struct passwd>(fd, map, scan, error)
                             : scan_records<struct group>(fd, map, scan, error);
  if (!ok) *error = "can't read: " + *error;
  return ok;
}

namespace {
constexpr size_t kBigAllocation = 1 << 20;
}

void *big_allocate(size_t bytes) {
  if (bytes < kBigAllocation) {
    void *p = malloc(bytes == 0 ? 1 : bytes);
    if (p == nullptr) throw std::bad_alloc();
    return p;
  }
  void *p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  madvise(p, bytes, MADV_HUGEPAGE);  // a hint: without it, ordinary pages
  return p;
}

void big_free(void *p, size_t bytes) {
  if (bytes < kBigAllocation)
    free(p);
  else
    munmap(p, bytes);
}

size_t format_id(uint32_t id, char *out) {
  int32_t value = static_cast<int32_t>(id);
  uint32_t magnitude = value < 0 ? 0u - id : id;
  char digits[10];
  size_t n = 0;
  do {
    digits[n++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  size_t len = 0;
  if (value < 0) out[len++] = '-';
  while (n > 0) out[len++] = digits[--n];
  out[len] = '\0';
  return len;
}

namespace {

// The first 16 bytes of a string of `len` bytes, zero-padded, as two
// big-endian integers: comparing these orders like strcmp on those bytes.
void head_of(const char *s, size_t len, uint64_t *high, uint64_t *low) {
  unsigned char bytes[16] = {};
  memcpy(bytes, s, len < 16 ? len : 16);
  uint64_t h, l;
  memcpy(&h, bytes, 8);
  memcpy(&l, bytes + 8, 8);
  *high = __builtin_bswap64(h);
  *low = __builtin_bswap64(l);
}

// Stable LSD radix sort on bits [low, low + bits) of each item's key, a
// byte at a time; bytes that are the same everywhere are skipped.
struct KeyedRecord {
  uint64_t key;
  uint32_t record;
};

inline uint64_t key_of(uint64_t item) { return item; }
inline uint64_t key_of(const KeyedRecord &item) { return item.key; }

template <typename Item>
void radix_sort(BigVector<Item> &items, int low, int bits) {
  const int passes = (bits + 7) / 8;
  std::vector<size_t> count(static_cast<size_t>(passes) * 256);
  for (const Item &it : items) {
    uint64_t key = key_of(it) >> low;
    for (int p = 0; p < passes; ++p) ++count[p * 256 + ((key >> (8 * p)) & 0xff)];
  }
  BigVector<Item> other(items.size());
  for (int p = 0; p < passes; ++p) {
    size_t *c = count.data() + p * 256;
    if (std::find(c, c + 256, items.size()) != c + 256) continue;
    size_t sum = 0;
    for (int d = 0; d < 256; ++d) {
      size_t n = c[d];
      c[d] = sum;
      sum += n;
    }
    int shift = low + 8 * p;
    for (const Item &it : items) other[c[(key_of(it) >> shift) & 0xff]++] = it;
    items.swap(other);
  }
}

// A 40-bit integer that orders ids as strcmp orders their "%d" keys.  '-'
// sorts before every digit, so negative keys come first; among keys of one
// sign the digits compare from the left, which is the order of the
// magnitude scaled to ten digits, and a key that is a prefix of another
// ("1" and "10" scale alike) comes first, being shorter.
uint64_t id_sort_key(uint32_t id) {
  static const uint64_t kScale[11] = {0,      1000000000, 100000000, 10000000, 1000000, 100000,
                                      10000,  1000,       100,       10,       1};
  bool negative = static_cast<int32_t>(id) < 0;
  uint64_t magnitude = negative ? 0u - id : id;
  uint64_t digits = 1;
  for (uint64_t limit = 10; digits < 10 && magnitude >= limit; limit *= 10) ++digits;
  return (uint64_t{negative ? 0u : 1u} << 39) | (magnitude * kScale[digits]) << 4 | digits;
}

}  // namespace

BigVector<uint32_t> name_order(const MapScan &scan) {
  // The first 12 bytes of each name as two integers decide almost every
  // comparison without touching the names themselves.
  struct Slot {
    uint64_t head;   // bytes 0-7
    uint32_t next;   // bytes 8-11
    uint32_t record;
  };
  BigVector<Slot> slots;
  slots.reserve(scan.records.size());
  for (uint32_t i = 0; i < scan.records.size(); ++i) {
    const MapRecord &r = scan.records[i];
    if (r.name_len == 0) continue;
    uint64_t head, tail;
    head_of(scan.name_of(r), r.name_len, &head, &tail);
    slots.push_back({head, static_cast<uint32_t>(tail >> 32), i});
  }
  std::sort(slots.begin(), slots.end(), [&scan](const Slot &a, const Slot &b) {
    if (a.head != b.head) return a.head < b.head;
    if (a.next != b.next) return a.next < b.next;
    if ((a.next & 0xff) != 0) {  // both names go on past their first 12 bytes
      int c = strcmp(scan.name_of(scan.records[a.record]) + 12,
                     scan.name_of(scan.records[b.record]) + 12);
      if (c != 0) return c < 0;
    }
    return a.record < b.record;
  });
  BigVector<uint32_t> order;
  order.reserve(slots.size());
  for (const Slot &s : slots) order.push_back(s.record);
  return order;
}

BigVector<uint32_t> id_order(const MapScan &scan) {
  size_t n = scan.records.size();
  BigVector<uint32_t> order(n);
  if (n <= (size_t{1} << 24)) {
    // Key and record number packed in one word: the record number in the
    // low 24 bits keeps equal keys in map order.
    BigVector<uint64_t> items(n);
    for (uint32_t i = 0; i < n; ++i) items[i] = id_sort_key(scan.records[i].id) << 24 | i;
    radix_sort(items, 24, 40);
    for (size_t i = 0; i < n; ++i) order[i] = static_cast<uint32_t>(items[i] & 0xffffff);
  } else {
    BigVector<KeyedRecord> items(n);
    for (uint32_t i = 0; i < n; ++i) items[i] = {id_sort_key(scan.records[i].id), i};
    radix_sort(items, 0, 40);
    for (size_t i = 0; i < n; ++i) order[i] = items[i].record;
  }
  return order;
}

}  // namespace vesk::tool
