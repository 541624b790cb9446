// Reading a map file and finding its records with the module's line reader.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <type_traits>

#include "index_tool.h"
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

bool read_map(const std::string &path, MapImage *map, std::string *error) {
  map->path = path;
  Fd fd(open_regular(path.c_str(), &map->st));
  if (fd.fd < 0) {
    *error = errno == EINVAL ? "not a regular file" : strerror(errno);
    return false;
  }
  // One byte more than the size the map had when opened: a read that fills
  // it shows the map grew meanwhile (map_unchanged then tells).
  size_t size = static_cast<size_t>(map->st.st_size);
  map->data.resize(size + 1);
  size_t got = 0;
  while (got < map->data.size()) {
    ssize_t n = read(fd.fd, map->data.data() + got, map->data.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = strerror(errno);
      return false;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  map->data.resize(got);
  map->size = got;
  return true;
}

bool map_unchanged(const MapImage &map) {
  struct stat now;
  if (stat(map.path.c_str(), &now) != 0) return false;
  return now.st_dev == map.st.st_dev && now.st_ino == map.st.st_ino &&
         now.st_size == map.st.st_size && static_cast<size_t>(now.st_size) == map.size &&
         now.st_mtim.tv_sec == map.st.st_mtim.tv_sec &&
         now.st_mtim.tv_nsec == map.st.st_mtim.tv_nsec;
}

namespace {

// Walks the map's lines in step with the reader.  The reader consumes whole
// lines and skips comments, blank lines and lines it can't parse; after it
// returns a record, the stream stands just past that record's line.
struct LineWalker {
  const char *data;
  size_t size;
  size_t pos = 0;     // start of the next line not yet walked
  uint64_t line = 0;  // number of the last line walked

  // Walks one line; returns its start and sets *end past its newline.
  size_t next(size_t *end) {
    size_t start = pos;
    const void *nl = memchr(data + pos, '\n', size - pos);
    *end = nl == nullptr ? size : static_cast<size_t>(static_cast<const char *>(nl) - data) + 1;
    pos = *end;
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

template <typename Record>
bool scan_records(const MapImage &map, MapScan *scan, std::string *error) {
  using Database = vesk::Database<Record>;
  const bool passwd = std::is_same_v<Record, struct passwd>;
  const char *kind = passwd ? "passwd" : "group";
  const char *thing = passwd ? "user" : "group";
  if (map.data.empty()) return true;
  FILE *stream = fmemopen(const_cast<char *>(map.data.data()), map.data.size(), "r");
  if (stream == nullptr) {
    *error = strerror(errno);
    return false;
  }
  LineWalker walk{map.data.data(), map.data.size()};
  std::vector<char> buffer(64 * 1024);
  // A record never needs more room than a few times its line (the group
  // reader adds one pointer per member): a reader still asking beyond that
  // is not behaving as documented.
  const size_t buffer_limit = 8 * map.data.size() + 64 * 1024;
  bool ok = true;
  Record record;
  for (;;) {
    int rc = read_record(stream, &record, buffer.data(), buffer.size());
    if (rc == ERANGE && buffer.size() < buffer_limit) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
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
    size_t start, end;
    for (;;) {
      start = walk.next(&end);
      if (end >= record_end) break;
      if (!walk.ignorable(start, end))
        scan->problems.push_back(
            {walk.line, std::string("not a valid ") + kind + " line; the module skips it"});
    }
    if (end != record_end) {
      *error = "the line reader stopped inside a line";
      ok = false;
      break;
    }
    const char *name = Database::name(record);
    size_t name_len = strlen(name);
    if (name_len == 0)
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
    MapRecord r;
    r.offset = start;
    r.line = walk.line;
    r.name = scan->names.size();
    r.name_len = static_cast<uint32_t>(name_len);
    r.id = Database::id(record);
    scan->names.insert(scan->names.end(), name, name + name_len + 1);
    scan->records.push_back(r);
  }
  fclose(stream);
  if (!ok) return false;
  // Lines after the last record.
  while (walk.pos < walk.size) {
    size_t end;
    size_t start = walk.next(&end);
    if (!walk.ignorable(start, end))
      scan->problems.push_back(
          {walk.line, std::string("not a valid ") + kind + " line; the module skips it"});
  }
  return true;
}

// Big-endian load of up to 8 bytes, zero-padded: comparing these as
// integers orders like strcmp over those bytes.
uint64_t prefix_of(const char *s, size_t len) {
  uint64_t v = 0;
  for (size_t i = 0; i < 8; ++i)
    v = (v << 8) | (i < len ? static_cast<unsigned char>(s[i]) : 0u);
  return v;
}

}  // namespace

bool scan_map(Db db, const MapImage &map, MapScan *scan, std::string *error) {
  // Most lines are short: about one record per 64 bytes is a fair guess.
  scan->records.reserve(map.data.size() / 64 + 16);
  scan->names.reserve(map.data.size() / 5 + 16);
  if (db == Db::Passwd) return scan_records<struct passwd>(map, scan, error);
  return scan_records<struct group>(map, scan, error);
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

std::vector<uint32_t> name_order(const MapScan &scan) {
  struct Slot {
    uint64_t prefix;
    uint32_t record;
  };
  std::vector<Slot> slots;
  slots.reserve(scan.records.size());
  for (uint32_t i = 0; i < scan.records.size(); ++i) {
    const MapRecord &r = scan.records[i];
    if (r.name_len == 0) continue;
    slots.push_back({prefix_of(scan.name_of(r), r.name_len), i});
  }
  std::sort(slots.begin(), slots.end(), [&scan](const Slot &a, const Slot &b) {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    if ((a.prefix & 0xff) != 0) {  // both names go on past their first 8 bytes
      int c = strcmp(scan.name_of(scan.records[a.record]) + 8,
                     scan.name_of(scan.records[b.record]) + 8);
      if (c != 0) return c < 0;
    }
    return a.record < b.record;
  });
  std::vector<uint32_t> order;
  order.reserve(slots.size());
  for (const Slot &s : slots) order.push_back(s.record);
  return order;
}

std::vector<uint32_t> id_order(const MapScan &scan) {
  struct Slot {
    uint64_t high;  // key bytes 0-7
    uint32_t low;   // key bytes 8-11 (a key has at most 11)
    uint32_t record;
  };
  std::vector<Slot> slots;
  slots.reserve(scan.records.size());
  for (uint32_t i = 0; i < scan.records.size(); ++i) {
    char key[12];
    size_t len = format_id(scan.records[i].id, key);
    uint64_t high = prefix_of(key, len);
    uint32_t low = 0;
    for (size_t j = 8; j < 12; ++j)
      low = (low << 8) | (j < len ? static_cast<unsigned char>(key[j]) : 0u);
    slots.push_back({high, low, i});
  }
  std::sort(slots.begin(), slots.end(), [](const Slot &a, const Slot &b) {
    if (a.high != b.high) return a.high < b.high;
    if (a.low != b.low) return a.low < b.low;
    return a.record < b.record;
  });
  std::vector<uint32_t> order;
  order.reserve(slots.size());
  for (const Slot &s : slots) order.push_back(s.record);
  return order;
}

}  // namespace vesk::tool
