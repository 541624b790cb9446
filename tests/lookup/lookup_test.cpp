// The four keyed lookups through the shipped module: when the index answers,
// when it can't be trusted and the map is scanned, and what reaches the
// caller in each case.  Most cases run for all four lookups.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>

#include "lookup_support.h"

namespace vesk_test {
namespace {

constexpr time_t kMapTime = 1700000000;

struct Rec {
  std::string name;
  uint32_t id;
  std::string tag;
};

// Both maps hold the same names and ids, so every case can be written once.
// Keys of uid 100, 20 and 3 sort as strings in that order; erin and frank
// have ids of 2^31 and above, indexed under negative keys.
std::vector<Rec> default_records() {
  return {{"root", 0, "t0"},      {"alice", 1000, "t1"},        {"bob", 20, "t2"},
          {"carol", 100, "t3"},   {"dave", 3, "t4"},            {"erin", 2147483648u, "t5"},
          {"frank", 4294967294u, "t6"}};
}

std::string passwd_line(const Rec &r) {
  return r.name + ":x:" + std::to_string(r.id) + ":100:" + r.tag + ":/home/" + r.name + ":/bin/sh\n";
}

std::string group_line(const Rec &r) { return r.name + ":" + r.tag + ":" + std::to_string(r.id) + ":\n"; }

// Descriptors of this process open on files under `dir`.
int fds_under(const std::string &dir) {
  int n = 0;
  DIR *d = opendir("/proc/self/fd");
  if (d == nullptr) return -1;
  while (struct dirent *e = readdir(d)) {
    char target[4096];
    std::string link = std::string("/proc/self/fd/") + e->d_name;
    ssize_t len = readlink(link.c_str(), target, sizeof target - 1);
    if (len > 0 && std::string(target, static_cast<size_t>(len)).rfind(dir, 0) == 0) ++n;
  }
  closedir(d);
  return n;
}

// Mappings of this process of files under `dir`.
int mappings_under(const std::string &dir) {
  std::ifstream in("/proc/self/maps");
  int n = 0;
  for (std::string line; std::getline(in, line);)
    if (line.find(dir) != std::string::npos) ++n;
  return n;
}

class LookupTest : public ::testing::TestWithParam<Kind> {
 protected:
  TempDir dir;
  std::string passwd_map = dir.file("passwd");
  std::string group_map = dir.file("group");
  std::vector<Rec> records;
  std::vector<int64_t> offsets;  // of each record's line in the map

  void SetUp() override {
    _nss_vesk_endpwent();
    _nss_vesk_endgrent();
    write_maps(default_records());
  }
  void TearDown() override {
    _nss_vesk_endpwent();
    _nss_vesk_endgrent();
  }

  const Kind &kind() const { return GetParam(); }
  bool by_name() const { return kind().key == Key::Name; }
  const std::string &map() const { return kind().db == Db::Passwd ? passwd_map : group_map; }
  std::string index() const { return map() + index_suffix(kind()); }
  size_t buflen() const { return std::max<size_t>(4096, min_buflen(kind())); }

  // Writes both maps (with the given paths set in the module) and fresh
  // indexes of the documented form, all with the modification time kMapTime.
  void write_maps(const std::vector<Rec> &recs) {
    records = recs;
    std::string pw, gr;
    offsets.clear();
    for (const auto &r : recs) {
      offsets.push_back(static_cast<int64_t>(kind().db == Db::Passwd ? pw.size() : gr.size()));
      pw += passwd_line(r);
      gr += group_line(r);
    }
    write_file(passwd_map, pw);
    write_file(group_map, gr);
    set_mtime(passwd_map, kMapTime);
    set_mtime(group_map, kMapTime);
    write_indexes(passwd_map, Db::Passwd);
    write_indexes(group_map, Db::Group);
    _nss_vesk_setpwent_path(passwd_map.c_str());
    _nss_vesk_setgrent_path(group_map.c_str());
  }

  std::string key_of(const Rec &r) const { return by_name() ? r.name : id_key(r.id); }

  // Replaces the kind's index, modification time kMapTime unless given.
  void write_index(const std::string &bytes, time_t mtime = kMapTime) {
    write_file(index(), bytes);
    set_mtime(index(), mtime);
  }
  // A fresh index of the documented form holding the records `which`.
  void write_index_of(const std::vector<size_t> &which) {
    std::vector<IndexEntry> entries;
    for (size_t i : which) entries.push_back({key_of(records[i]), offsets[i]});
    write_index(index_bytes(entries));
  }

  // The lookup of a name or id; checks that it leaves no descriptor and no
  // mapping of the maps or indexes behind.
  Answer find_key(const std::string &name, uint32_t id, size_t len = 0) {
    int fds = fds_under(dir.path);
    int maps = mappings_under(dir.path);
    Answer a = lookup(kind(), name, id, len == 0 ? buflen() : len);
    EXPECT_EQ(fds_under(dir.path), fds) << "descriptor left open";
    EXPECT_EQ(mappings_under(dir.path), maps) << "mapping left behind";
    return a;
  }
  Answer find(const Rec &r, size_t len = 0) { return find_key(r.name, r.id, len); }
  Answer find(size_t i, size_t len = 0) { return find(records[i], len); }

  // The lookup of record i succeeded with exactly that record.
  void expect_found(size_t i, const Answer &a) {
    EXPECT_EQ(a.status, NSS_STATUS_SUCCESS) << "record " << records[i].name;
    EXPECT_EQ(a.err, kUntouched);
    EXPECT_EQ(a.name, records[i].name);
    EXPECT_EQ(a.id, records[i].id);
    EXPECT_EQ(a.tag, records[i].tag);
  }
  void expect_not_found(const Answer &a) {
    EXPECT_EQ(a.status, NSS_STATUS_NOTFOUND);
    EXPECT_EQ(a.err, kUntouched) << "a fresh index lacking the key leaves the error number alone";
  }
  void expect_every_record_found() {
    for (size_t i = 0; i < records.size(); ++i) expect_found(i, find(i));
  }
};

std::string kind_name(const ::testing::TestParamInfo<Kind> &info) { return info.param.label; }

TEST_P(LookupTest, FreshIndexFindsEveryRecordAndNothingElse) {
  expect_every_record_found();
  expect_not_found(find(Rec{"nobody", 4242, ""}));
  expect_not_found(find(Rec{"alic", 10, ""}));     // a prefix of a key
  expect_not_found(find(Rec{"alicee", 1001, ""}));  // a key is a prefix of it
}

TEST_P(LookupTest, FreshIndexLackingTheKeyAnswersNotFoundWithoutScanning) {
  write_index_of({0, 2, 3, 4, 5, 6});  // alice missing
  expect_not_found(find(1));
  expect_found(2, find(2));
}

TEST_P(LookupTest, FreshnessIsJudgedInWholeSeconds) {
  write_index_of({0, 2, 3, 4, 5, 6});  // alice missing: NOTFOUND tells the index was used
  auto set_times = [&](time_t map_s, long map_ns, time_t index_s, long index_ns) {
    struct timespec m[2] = {{map_s, map_ns}, {map_s, map_ns}};
    struct timespec x[2] = {{index_s, index_ns}, {index_s, index_ns}};
    ASSERT_EQ(utimensat(AT_FDCWD, map().c_str(), m, 0), 0);
    ASSERT_EQ(utimensat(AT_FDCWD, index().c_str(), x, 0), 0);
  };
  set_times(kMapTime, 900000000, kMapTime, 100000000);  // same second, index a little older
  expect_not_found(find(1));
  set_times(kMapTime, 0, kMapTime + 3600, 0);  // index newer
  expect_not_found(find(1));
  set_times(kMapTime, 0, kMapTime - 1, 999999999);  // index one second older: scan
  expect_found(1, find(1));
  set_times(kMapTime + 1, 0, kMapTime, 999999999);
  expect_found(1, find(1));
}

TEST_P(LookupTest, MissingEmptyOrStaleIndexFallsBackToTheScan) {
  ASSERT_EQ(unlink(index().c_str()), 0);
  expect_every_record_found();

  write_index("");
  expect_every_record_found();

  write_index_of({0});  // stale: lacks nearly every key but must not be used
  set_mtime(index(), kMapTime - 1);
  expect_every_record_found();

  Answer a = find(Rec{"nobody", 4242, ""});
  EXPECT_EQ(a.status, NSS_STATUS_NOTFOUND);
  EXPECT_EQ(a.err, 0) << "the scan reached the end of the map";
}

TEST_P(LookupTest, OneRecordIndexFindsItsOnlyKey) {
  write_index_of({3});
  expect_found(3, find(3));
  expect_not_found(find(2));
}

TEST_P(LookupTest, OffsetNotAtTheWantedRecordFallsBackToTheScan) {
  const int64_t map_size = static_cast<int64_t>(read_file(map()).size());
  const std::vector<std::string> wrong = {
      std::to_string(offsets[4]),        // another record's line
      "-1",                               // negative: the seek fails
      std::to_string(map_size),           // the end of the map
      std::to_string(map_size + 10000),   // past the end
      "-9223372036854775808",             // the most negative offset
      "99999999999999999999999",          // saturates, far past the end
  };
  for (const auto &text : wrong) {
    SCOPED_TRACE("offset " + text);
    std::vector<RawEntry> entries;
    for (size_t i = 0; i < records.size(); ++i)
      entries.push_back({key_of(records[i]), i == 1 ? text : std::to_string(offsets[i])});
    std::sort(entries.begin(), entries.end(),
              [](const RawEntry &a, const RawEntry &b) { return strcmp(a.key.c_str(), b.key.c_str()) < 0; });
    write_index(raw_index(entries));
    expect_found(1, find(1));
    expect_found(4, find(4));
  }
}

// Index files that break the format: the search must not read past the end
// of the mapping (the files end on a page boundary, so a read past it
// usually faults), must not use them, and the scan still answers.
TEST_P(LookupTest, MalformedIndexFallsBackToTheScan) {
  const std::string key = key_of(records[1]);
  const std::string off = std::to_string(offsets[1]);
  const size_t page = 4096;
  std::vector<std::pair<std::string, std::string>> cases;

  // No newline anywhere: the first line runs past the end of the file.
  std::string s = key + std::string(1, '\0') + off;
  s.resize(page, '\0');
  cases.push_back({"no newline", s});
  cases.push_back({"no newline, no NUL", std::string(page, 'z')});
  // Records of the right length whose keys have no NUL.
  s.clear();
  while (s.size() < page) s += key.substr(0, 1) + "zzzzzz\n";
  s.resize(page);
  cases.push_back({"keys without NUL", s});
  // A NUL only in the last byte of the record (where the newline belongs).
  s.clear();
  while (s.size() + 8 <= page) s += std::string("zzzzzzz") + '\n';
  s += std::string("zzzzzzz") + '\0';
  cases.push_back({"NUL as the last byte", s.substr(s.size() - 16)});
  // The wanted record's digits run to the end of the record and the file.
  {
    std::string first = std::string("!") + '\0' + "0";
    first.resize(page / 2 - 1, '\0');
    first += '\n';
    std::string wanted = key + '\0';
    wanted += std::string(page / 2 - wanted.size() - off.size(), '0') + off;  // no newline
    cases.push_back({"digits to the record's end", first + wanted});
  }
  // Only a newline.
  cases.push_back({"just a newline", "\n"});
  // Records whose lengths differ from the first line's.
  cases.push_back({"uneven records", raw_index({{"!", "0"}}) + key + std::string(1, '\0') + off + "\n" +
                                         raw_index({{"~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~", "0"}})});

  for (const auto &[label, bytes] : cases) {
    SCOPED_TRACE(label);
    write_index(bytes);
    expect_found(1, find(1));
    Answer a = find(Rec{"nobody", 4242, ""});
    EXPECT_NE(a.status, NSS_STATUS_SUCCESS);
  }

  // Bytes after the last whole record are no record: here a key cut short by
  // the end of the file.  The index is well formed and lacks the key.
  std::string first = std::string("!") + '\0' + "0";
  first.resize(page - key.size(), '\0');
  first.back() = '\n';
  write_index(first + key);
  expect_not_found(find(1));
}

TEST_P(LookupTest, RecordTooLargeForTheBufferAtTheOffset) {
  std::vector<Rec> recs = default_records();
  const size_t small = std::max<size_t>(512, min_buflen(kind()));
  recs[3].tag += std::string(small, 'x');
  write_maps(recs);
  Answer a = find(3, small);
  EXPECT_EQ(a.status, NSS_STATUS_TRYAGAIN);
  EXPECT_EQ(a.err, ERANGE);
  expect_found(3, find(3, 2 * small + 4096));
  expect_found(4, find(4, small));  // after it in the map; the index reaches it directly
}

TEST_P(LookupTest, TooLargeEarlierRecordEndsTheScanWithTryAgain) {
  std::vector<Rec> recs = default_records();
  const size_t small = std::max<size_t>(512, min_buflen(kind()));
  recs[1].tag += std::string(small, 'x');
  write_maps(recs);
  ASSERT_EQ(unlink(index().c_str()), 0);
  expect_found(0, find(0, small));  // before it
  Answer a = find(4, small);
  EXPECT_EQ(a.status, NSS_STATUS_TRYAGAIN);
  EXPECT_EQ(a.err, ERANGE);
  a = find(4, small);  // the next call scans afresh and meets it again
  EXPECT_EQ(a.status, NSS_STATUS_TRYAGAIN);
  EXPECT_EQ(a.err, ERANGE);
  expect_found(4, find(4, 2 * small + 4096));
}

// A lookup that reaches the search ends an enumeration of its database: the
// next read starts at record one.  The scan closes the enumeration's stream
// rather than leaking it.
TEST_P(LookupTest, LookupRestartsAnEnumerationAtRecordOne) {
  for (bool with_index : {true, false}) {
    SCOPED_TRACE(with_index ? "through the index" : "through the scan");
    if (!with_index) unlink(index().c_str());
    const int fds = fds_under(dir.path);
    std::vector<char> buf(buflen());
    int err = 0;
    auto next_name = [&]() -> std::string {
      if (kind().db == Db::Passwd) {
        struct passwd pw;
        if (_nss_vesk_getpwent_r(&pw, buf.data(), buf.size(), &err) != NSS_STATUS_SUCCESS) return "?";
        return pw.pw_name;
      }
      struct group gr;
      if (_nss_vesk_getgrent_r(&gr, buf.data(), buf.size(), &err) != NSS_STATUS_SUCCESS) return "?";
      return gr.gr_name;
    };
    EXPECT_EQ(next_name(), records[0].name);
    EXPECT_EQ(next_name(), records[1].name);
    EXPECT_EQ(fds_under(dir.path), fds + 1);
    Answer a = lookup(kind(), records[4].name, records[4].id, buflen());
    expect_found(4, a);
    EXPECT_EQ(fds_under(dir.path), fds) << "the enumeration stream is closed, not leaked";
    EXPECT_EQ(next_name(), records[0].name);
    EXPECT_EQ(next_name(), records[1].name);
    kind().db == Db::Passwd ? _nss_vesk_endpwent() : _nss_vesk_endgrent();
    EXPECT_EQ(fds_under(dir.path), fds);
  }
}

// A lookup of the other database leaves an enumeration alone.
TEST_P(LookupTest, LookupLeavesTheOtherDatabasesEnumerationAlone) {
  std::vector<char> buf(4096);
  int err = 0;
  struct passwd pw;
  struct group gr;
  bool passwd_kind = kind().db == Db::Passwd;
  auto step = [&]() -> std::string {
    if (passwd_kind) return _nss_vesk_getgrent_r(&gr, buf.data(), buf.size(), &err) == 1 ? gr.gr_name : "?";
    return _nss_vesk_getpwent_r(&pw, buf.data(), buf.size(), &err) == 1 ? pw.pw_name : "?";
  };
  EXPECT_EQ(step(), records[0].name);
  expect_found(3, lookup(kind(), records[3].name, records[3].id, buflen()));
  EXPECT_EQ(step(), records[1].name);
}

// Compat lines ("+name", "-name") are directives, not accounts: no lookup
// answers for one, whether the index points at it or the map is scanned,
// and one holding uid 0 must not hide the real record of that id.
TEST_P(LookupTest, CompatLinesAreNeverAnswered) {
  std::vector<Rec> recs = {{"+mallory", 0, "c0"}, {"-eve", 5000, "c1"}, {"+", 1000, "c2"}};
  for (const Rec &r : default_records()) recs.push_back(r);
  recs.push_back({"-", 6000, "c3"});
  for (bool with_index : {true, false}) {
    SCOPED_TRACE(with_index ? "index of every line" : "no index");
    write_maps(recs);  // the index lists the compat lines under their keys
    if (!with_index) unlink(index().c_str());
    expect_found(3, find(3));  // root, uid 0
    expect_found(4, find(4));  // alice, uid 1000
    for (size_t i : {size_t{1}, size_t{recs.size() - 1}}) {
      SCOPED_TRACE(recs[i].name);
      Answer a = find(i);
      EXPECT_EQ(a.status, NSS_STATUS_NOTFOUND) << "answered with " << a.name;
      if (!by_name()) EXPECT_EQ(a.err, 0) << "the index's answer was refused and the scan ran to the end";
    }
    if (by_name()) {
      Answer a = find(0);
      EXPECT_EQ(a.status, NSS_STATUS_NOTFOUND) << "answered with " << a.name;
      EXPECT_EQ(a.err, kUntouched);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(AllLookups, LookupTest,
                         ::testing::Values(kPasswdByName, kPasswdByUid, kGroupByName, kGroupByGid),
                         kind_name);

// --- lookups by id ---------------------------------------------------------

using IdLookupTest = LookupTest;

// Ids are searched under "%d" of the 32-bit value: uid 0 under "0", ids of
// 2^31 and above under negative keys.  An index holding the unsigned or a
// padded spelling instead is fresh and lacks the key.
TEST_P(IdLookupTest, KeysAreSignedDecimal) {
  for (size_t i : {size_t{0}, size_t{5}, size_t{6}}) {
    SCOPED_TRACE(records[i].name);
    write_index(raw_index({{id_key(records[i].id), std::to_string(offsets[i])}}));
    expect_found(i, find(i));
    std::string other = i == 0 ? "00" : std::to_string(records[i].id);
    write_index(raw_index({{other, std::to_string(offsets[i])}}));
    expect_not_found(find(i));
  }
  EXPECT_EQ(id_key(0), "0");
  EXPECT_EQ(id_key(2147483648u), "-2147483648");
  EXPECT_EQ(id_key(4294967294u), "-2");
}

INSTANTIATE_TEST_SUITE_P(IdLookups, IdLookupTest, ::testing::Values(kPasswdByUid, kGroupByGid), kind_name);

// --- lookups by name -------------------------------------------------------

using NameLookupTest = LookupTest;

// Names compare byte for byte: a name differing in letter case is another
// name, whether the index is used or the map is scanned, and even when an
// index entry under that spelling points at the record.
TEST_P(NameLookupTest, NameDifferingInCaseIsNotFound) {
  expect_not_found(find(Rec{"Alice", 0, ""}));
  expect_not_found(find(Rec{"ALICE", 0, ""}));
  write_index(raw_index({{"Alice", std::to_string(offsets[1])}, {"alice", std::to_string(offsets[1])}}));
  Answer a = find(Rec{"Alice", 0, ""});
  EXPECT_EQ(a.status, NSS_STATUS_NOTFOUND) << "found " << a.name;
  EXPECT_EQ(a.err, 0) << "the index disagreed, so the scan ran to the end";
  expect_found(1, find(1));
  unlink(index().c_str());
  a = find(Rec{"Alice", 0, ""});
  EXPECT_EQ(a.status, NSS_STATUS_NOTFOUND);
  EXPECT_EQ(a.err, 0);
}

// Names that aren't plain ASCII: bytes above 0x7f sort after every ASCII
// byte in the index, as strcmp (unsigned bytes) orders them.
TEST_P(NameLookupTest, NamesWithHighBytesAreFoundThroughTheIndex) {
  std::vector<Rec> recs = default_records();
  recs.push_back({"\xc3\xa9milie", 5001, "t7"});
  recs.push_back({"z\xff", 5002, "t8"});
  recs.push_back({"zz", 5003, "t9"});
  write_maps(recs);
  expect_every_record_found();
  write_index_of({1, 7});  // a fresh index: NOTFOUND proves it was used
  expect_found(7, find(7));
  expect_not_found(find(8));
}

INSTANTIATE_TEST_SUITE_P(NameLookups, NameLookupTest, ::testing::Values(kPasswdByName, kGroupByName),
                         kind_name);

// --- limits ----------------------------------------------------------------

// A map path of exactly `len` characters, with the directories it needs.
std::string map_path_of_length(const std::string &base, size_t len, const std::string &file) {
  std::string path = base;
  size_t need = len - base.size() - 1 - file.size();  // room for the directories
  while (need > 0) {
    size_t n = std::min<size_t>(100, need - 1);
    if (need - 1 - n == 1) --n;  // never leave a single character over
    path += "/" + std::string(n, 'd');
    mkdir(path.c_str(), 0755);
    need -= n + 1;
  }
  path += "/" + file;
  EXPECT_EQ(path.size(), len);
  return path;
}

// The index path (map path and suffix) must fit in 254 characters: 248 for
// the id suffixes, 247 for ".ixname".  Too long is UNAVAIL at once, with no
// scan and no stream touched.
TEST(LookupLimits, MapPathLengthLimits) {
  TempDir dir;
  for (size_t len : {247, 248, 249}) {
    SCOPED_TRACE("map path of " + std::to_string(len) + " characters");
    TempDir sub;
    std::string pw = map_path_of_length(sub.path, len, "p");
    std::string gr = pw.substr(0, pw.size() - 1) + "g";
    std::vector<Rec> recs = default_records();
    std::string pw_content, gr_content;
    for (const auto &r : recs) {
      pw_content += passwd_line(r);
      gr_content += group_line(r);
    }
    write_file(pw, pw_content);
    write_file(gr, gr_content);
    set_mtime(pw, kMapTime);
    set_mtime(gr, kMapTime);
    // Indexes lacking bob: NOTFOUND for him proves the full index path was used.
    std::vector<IndexEntry> pw_names, pw_ids, gr_names, gr_ids;
    auto drop_bob = [](std::vector<IndexEntry> v) {
      std::erase_if(v, [](const IndexEntry &e) { return e.key == "bob" || e.key == "20"; });
      return v;
    };
    write_file(pw + ".ixname", index_bytes(drop_bob(map_entries(pw_content, Db::Passwd, Key::Name))));
    write_file(pw + ".ixuid", index_bytes(drop_bob(map_entries(pw_content, Db::Passwd, Key::Id))));
    write_file(gr + ".ixname", index_bytes(drop_bob(map_entries(gr_content, Db::Group, Key::Name))));
    write_file(gr + ".ixgid", index_bytes(drop_bob(map_entries(gr_content, Db::Group, Key::Id))));
    for (const char *s : {".ixname", ".ixuid"}) set_mtime(pw + s, kMapTime);
    for (const char *s : {".ixname", ".ixgid"}) set_mtime(gr + s, kMapTime);
    _nss_vesk_setpwent_path(pw.c_str());
    _nss_vesk_setgrent_path(gr.c_str());

    for (const Kind &k : {kPasswdByName, kPasswdByUid, kGroupByName, kGroupByGid}) {
      SCOPED_TRACE(k.label);
      size_t limit = k.key == Key::Name ? 247 : 248;
      size_t buf = std::max<size_t>(4096, min_buflen(k));
      // An enumeration in progress: an early UNAVAIL must leave it where it is.
      std::vector<char> ebuf(4096);
      int err = 0;
      struct passwd p;
      struct group g;
      auto step = [&]() -> std::string {
        if (k.db == Db::Passwd) return _nss_vesk_getpwent_r(&p, ebuf.data(), ebuf.size(), &err) == 1 ? p.pw_name : "?";
        return _nss_vesk_getgrent_r(&g, ebuf.data(), ebuf.size(), &err) == 1 ? g.gr_name : "?";
      };
      k.db == Db::Passwd ? _nss_vesk_setpwent() : _nss_vesk_setgrent();
      EXPECT_EQ(step(), "root");
      Answer alice = lookup(k, "alice", 1000, buf);
      if (len <= limit) {
        EXPECT_EQ(alice.status, NSS_STATUS_SUCCESS);
        EXPECT_EQ(alice.name, "alice");
        EXPECT_EQ(lookup(k, "bob", 20, buf).status, NSS_STATUS_NOTFOUND);
      } else {
        EXPECT_EQ(alice.status, NSS_STATUS_UNAVAIL);
        EXPECT_EQ(alice.err, kUntouched);
        EXPECT_EQ(step(), "alice") << "the enumeration stream was touched";
      }
      k.db == Db::Passwd ? _nss_vesk_endpwent() : _nss_vesk_endgrent();
    }
  }
}

// _nss_vesk_getgrgid_r refuses a buffer below 1 MiB before anything else:
// no file is opened and an enumeration in progress goes on undisturbed.
TEST(LookupLimits, GroupByGidNeedsOneMebibyte) {
  TempDir dir;
  std::string gr = dir.file("group"), content;
  for (const auto &r : default_records()) content += group_line(r);
  write_file(gr, content);
  write_indexes(gr, Db::Group);
  _nss_vesk_setgrent_path(gr.c_str());

  std::vector<char> ebuf(4096);
  int err = 0;
  struct group g;
  ASSERT_EQ(_nss_vesk_getgrent_r(&g, ebuf.data(), ebuf.size(), &err), NSS_STATUS_SUCCESS);
  EXPECT_STREQ(g.gr_name, "root");
  Answer a = lookup(kGroupByGid, "", 1000, NSS_VESK_GRGID_MIN_BUFLEN - 1);
  EXPECT_EQ(a.status, NSS_STATUS_TRYAGAIN);
  EXPECT_EQ(a.err, ERANGE);
  ASSERT_EQ(_nss_vesk_getgrent_r(&g, ebuf.data(), ebuf.size(), &err), NSS_STATUS_SUCCESS);
  EXPECT_STREQ(g.gr_name, "alice") << "the short-buffer refusal touched the enumeration";
  _nss_vesk_endgrent();

  EXPECT_EQ(lookup(kGroupByGid, "", 1000, 0).status, NSS_STATUS_TRYAGAIN);
  a = lookup(kGroupByGid, "", 1000, NSS_VESK_GRGID_MIN_BUFLEN);
  EXPECT_EQ(a.status, NSS_STATUS_SUCCESS);
  EXPECT_EQ(a.name, "alice");
  // The other lookups have no minimum.
  a = lookup(kGroupByName, "alice", 0, 500);
  EXPECT_EQ(a.status, NSS_STATUS_SUCCESS);
  EXPECT_EQ(a.name, "alice");

  // With no map at all the refusal still comes first.
  _nss_vesk_setgrent_path(dir.file("absent").c_str());
  a = lookup(kGroupByGid, "", 1000, NSS_VESK_GRGID_MIN_BUFLEN - 1);
  EXPECT_EQ(a.status, NSS_STATUS_TRYAGAIN);
  EXPECT_EQ(a.err, ERANGE);
  a = lookup(kGroupByGid, "", 1000, NSS_VESK_GRGID_MIN_BUFLEN);
  EXPECT_EQ(a.status, NSS_STATUS_UNAVAIL);
  EXPECT_EQ(a.err, kUntouched);
}

}  // namespace
}  // namespace vesk_test
