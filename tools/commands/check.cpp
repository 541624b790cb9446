// "vesk-index check": verifies existing indexes against their maps and says
// what a lookup would do with each.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <string_view>

#include "commands/check.h"
#include "keys/keys_commands.h"
#include "lookup/index_format.h"
#include "map/files.h"
#include "nss_vesk.h"

namespace vesk::tool {

namespace {

// Damage of one kind is reported for this many records, then counted.
constexpr uint64_t kReportLimit = 5;

enum Kind { kLength, kFormat, kOrder, kOffset, kMissing, kKinds };

struct IndexCheck {
  const MapScan &scan;
  const std::string &map_path;
  std::string index_path;
  bool by_name;
  std::string lookup;  // "lookups by name" / "lookups by uid"
  std::string *out, *err;  // what check prints on stdout and stderr
  std::string problem;     // the first thing found wrong
  uint64_t counts[kKinds] = {};

  // The index key of a map record.
  std::string key_of(const MapRecord &r) const {
    if (by_name) return scan.name_of(r);
    char key[12];
    format_id(r.id, key);
    return key;
  }

  void say(const std::string &where, const std::string &text) {
    add_message(err, where, text);
    if (problem.empty()) problem = where + ": " + text;
  }

  void damage(Kind kind, const std::string &where, const std::string &text) {
    if (++counts[kind] <= kReportLimit) say(where, text);
  }

  bool complain(const std::string &text) {
    say(index_path, text + "; " + lookup + " fall back to a linear scan of the map");
    return false;
  }
};

std::string quoted(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    if (static_cast<unsigned char>(c) < 0x20 || c == '"' || c == '\\') {
      char esc[8];
      snprintf(esc, sizeof esc, "\\x%02x", static_cast<unsigned char>(c));
      out += esc;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// What the module's search hands to bsearch.
struct SearchKey {
  const char *key;
  size_t record_len;
  mutable bool malformed;
};

int compare_like_module(const void *key, const void *element) {
  const auto *k = static_cast<const SearchKey *>(key);
  const char *record = static_cast<const char *>(element);
  if (index_key_length(record, k->record_len) == SIZE_MAX) {
    k->malformed = true;
    return 0;
  }
  return strcmp(k->key, record);
}

bool read_index(int fd, size_t size, std::vector<char> *data) {
  data->resize(size);
  size_t got = 0;
  while (got < size) {
    ssize_t n = read(fd, data->data() + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

// True if the id keys of the index, read as numbers, never decrease: the
// usual mistake of sorting ids numerically.
bool numerically_sorted(const std::vector<std::string_view> &keys) {
  long long previous = LLONG_MIN;
  for (std::string_view k : keys) {
    std::string s(k);
    char *end = nullptr;
    long long v = strtoll(s.c_str(), &end, 10);
    if (end == s.c_str() || *end != '\0' || v < previous) return false;
    previous = v;
  }
  return true;
}

// Checks one index.  True when it is usable and complete.
bool check_index(IndexCheck &c, const MapFile &map) {
  Fd fd(open(c.index_path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (fd.fd < 0)
    return c.complain(errno == ENOENT ? "missing" : std::string("can't open: ") + strerror(errno));
  struct stat st;
  if (fstat(fd.fd, &st) != 0) return c.complain(std::string("can't stat: ") + strerror(errno));
  if (!S_ISREG(st.st_mode)) return c.complain("not a regular file");
  size_t indexable = c.by_name ? static_cast<size_t>(std::count_if(
                                     c.scan.records.begin(), c.scan.records.end(),
                                     [](const MapRecord &r) { return r.name_len > 0; }))
                               : c.scan.records.size();
  if (st.st_size == 0) {
    if (indexable == 0) {
      *c.out += c.index_path + ": empty, and the map holds no records; " + c.lookup +
                " find nothing either way\n";
      return true;
    }
    return c.complain("empty");
  }
  if (map.st.st_mtime > st.st_mtime)
    return c.complain("stale: the map was modified " +
                      std::to_string(map.st.st_mtime - st.st_mtime) +
                      " second(s) after the index (run vesk-index build)");
  std::vector<char> data;
  if (!read_index(fd.fd, static_cast<size_t>(st.st_size), &data))
    return c.complain(std::string("can't read: ") + strerror(errno));

  size_t len = index_record_length(data.data(), data.size());
  if (len == 0) return c.complain("holds no newline, so it is not an index");
  size_t count = data.size() / len;
  if (data.size() % len != 0)
    c.damage(kLength, c.index_path,
             "record length inconsistent: the size (" + std::to_string(data.size()) +
                 " bytes) is not a multiple of the first line's length (" +
                 std::to_string(len) + "); lookups ignore the last " +
                 std::to_string(data.size() % len) + " bytes");

  // Every record on its own: shape, order, and where its offset leads.
  std::vector<std::string_view> keys;  // of well-formed records, in index order
  keys.reserve(count);
  std::string_view previous;
  size_t previous_number = 0;
  for (size_t i = 0; i < count; ++i) {
    const char *rec = data.data() + i * len;
    auto where = [&] { return c.index_path + ": record " + std::to_string(i + 1); };
    if (rec[len - 1] != '\n' || memchr(rec, '\n', len - 1) != nullptr) {
      c.damage(kLength, where(),
               "record length inconsistent: records are " + std::to_string(len) +
                   " bytes (the first line's length), each ending in its only newline; "
                   "lookups that meet this one fall back to a linear scan");
      continue;
    }
    size_t key_len = index_key_length(rec, len);
    if (key_len == SIZE_MAX || key_len == 0) {
      c.damage(kFormat, where(),
               key_len == 0 ? "empty key; no lookup can find it"
                            : "no NUL after the key; lookups that meet this record fall back "
                              "to a linear scan");
      continue;
    }
    std::string_view key(rec, key_len);
    keys.push_back(key);
    if (!previous.empty() && previous.compare(key) > 0)  // unsigned bytes, as strcmp
      c.damage(kOrder, where(),
               quoted(key) + " comes after record " + std::to_string(previous_number) + " (" +
                   quoted(previous) + ") but sorts before it as strcmp orders keys");
    previous = key;
    previous_number = i + 1;

    // Digits where "%ld" looks for them: after white space and a sign.
    const char *p = rec + key_len + 1;
    const char *end = rec + len - 1;
    while (p < end && (*p == ' ' || (*p >= '\t' && *p <= '\r'))) ++p;
    if (p < end && (*p == '-' || *p == '+')) ++p;
    bool has_digits = p < end && *p >= '0' && *p <= '9';
    int64_t offset = index_record_offset(rec, len, key_len);
    auto lookup_of = [&] { return "a lookup of " + quoted(key); };
    if (!has_digits) {
      c.damage(kOffset, where(),
               quoted(key) + " has no offset, which lookups read as 0; " + lookup_of() +
                   " reads the map's first record instead");
      continue;
    }
    if (offset < 0) {
      c.damage(kOffset, where(),
               quoted(key) + " has the negative offset " + std::to_string(offset) + "; " +
                   lookup_of() + " can't seek there and falls back to a linear scan");
      continue;
    }
    const auto &records = c.scan.records;
    auto it = std::lower_bound(
        records.begin(), records.end(), static_cast<uint64_t>(offset),
        [](const MapRecord &r, uint64_t off) { return r.offset < off; });
    if (it == records.end() || it->offset != static_cast<uint64_t>(offset)) {
      c.damage(kOffset, where(),
               quoted(key) + " points at byte " + std::to_string(offset) +
                   ", which is not the start of a record's line in the map; " + lookup_of() +
                   " reads something else there and falls back to a linear scan");
      continue;
    }
    std::string held = c.key_of(*it);
    if (held != key)
      c.damage(kOffset, where(),
               quoted(key) + " points at line " + std::to_string(it->line) +
                   " of the map, which holds " + quoted(held) + "; " + lookup_of() +
                   " falls back to a linear scan");
  }

  // Every record of the map, looked up as the module's search does it.
  std::vector<std::string_view> sorted_keys;
  for (const MapRecord &r : c.scan.records) {
    if (c.by_name && r.name_len == 0) continue;
    std::string key = c.key_of(r);
    SearchKey k{key.c_str(), len, false};
    const void *hit = count == 0 ? nullptr
                                 : bsearch(&k, data.data(), count, len, compare_like_module);
    if (hit != nullptr && !k.malformed) continue;
    if (k.malformed) {
      c.damage(kMissing, at_line(c.map_path, r.line),
               quoted(key) + ": the search in " + c.index_path +
                   " meets a record without a NUL; the lookup falls back to a linear scan");
      continue;
    }
    if (sorted_keys.empty()) {
      sorted_keys = keys;
      std::sort(sorted_keys.begin(), sorted_keys.end());
    }
    bool present = std::binary_search(sorted_keys.begin(), sorted_keys.end(), std::string_view(key));
    c.damage(kMissing, at_line(c.map_path, r.line),
             quoted(key) + (present ? " is in " + c.index_path +
                                          ", but the binary search misses it (the index is "
                                          "out of order)"
                                    : " is absent from " + c.index_path) +
                 "; a lookup of it answers \"not found\" without scanning the map");
  }

  if (c.counts[kOrder] > 0 && !c.by_name && numerically_sorted(keys))
    c.say(c.index_path,
          "the ids are sorted numerically, but lookups compare them as strings (strcmp), "
           "so \"100\" must come before \"99\"");
  static const char *const kind_words[kKinds] = {"of inconsistent length", "malformed",
                                                 "out of order", "with a wrong offset",
                                                 "missing from the index"};
  bool ok = true;
  for (int k = 0; k < kKinds; ++k) {
    if (c.counts[k] == 0) continue;
    ok = false;
    if (c.counts[k] > kReportLimit)
      c.say(c.index_path, std::to_string(c.counts[k] - kReportLimit) +
                               " more record(s) " + kind_words[k]);
  }
  if (ok)
    *c.out += c.index_path + ": " + std::to_string(count) + (count == 1 ? " entry" : " entries") +
              ", fresh and complete; " + c.lookup + " use it\n";
  return ok;
}

void check_database(Db db, const std::string &map_path, const PolicyCheck &policy,
                    MapVerdict *v, std::string *out, std::string *err) {
  // The map itself, as build reads it: what the policy refuses, duplicate
  // keys, lines the module skips.
  v->db = db;
  v->path = map_path;
  Prepared p;
  p.policy = &policy;
  p.explain_x = true;
  v->status = prepare_map(db, map_path, map_path, map_path, &p, err);
  if (v->status == kExitFailure) {
    v->error = p.error;
    return;
  }
  v->readable = true;
  v->map = p.map;
  v->records = p.scan.records.size();
  v->problems = p.problems;
  v->refused = p.scan.refused;
  DbWords w = words(db);
  IndexCheck checks[2] = {
      {p.scan, map_path, map_path + NSS_VESK_SUFFIX_NAME, true, "lookups by name", out, err, {}, {}},
      {p.scan, map_path, map_path + w.id_suffix, false, std::string("lookups by ") + w.id, out,
       err, {}, {}}};
  for (int i = 0; i < 2; ++i) {
    IndexVerdict &index = v->indexes[i];
    index.path = checks[i].index_path;
    index.usable = check_index(checks[i], p.map);
    index.problem = checks[i].problem;
    if (!index.usable) v->status = kExitProblems;
  }
}

}  // namespace

int check_maps(const CheckOptions &options, CheckReport *report) {
  PolicyCheck policy;
  if (!prepare_policy(options.policy, &policy, &report->error)) {
    add_message(&report->err, "check", report->error);
    return report->status = kExitFailure;
  }
  const std::string *paths[2] = {&options.passwd_map, &options.group_map};
  report->status = kExitOk;
  for (int i = 0; i < 2; ++i) {
    MapVerdict &v = report->maps[i];
    check_database(i == 0 ? Db::Passwd : Db::Group, *paths[i], policy, &v, &report->out,
                   &report->err);
    report->status = combine(report->status, v.status);
  }
  return report->status;
}

int run_check(const CheckOptions &options) {
  CheckReport report;
  int status = check_maps(options, &report);
  fputs(report.out.c_str(), stdout);
  fflush(stdout);
  fputs(report.err.c_str(), stderr);
  if (!options.keys_map.empty()) {
    keys::KeysHealth health;
    status = combine(status, keys::check_keys(options.keys_map, options.policy, true, &health));
  }
  return status;
}

}  // namespace vesk::tool
