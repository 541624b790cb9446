// The indexed search from the inside: the bounded readers of the index
// format, _nss_vesk_bsearch2 with the module's own verifiers, and the
// verifiers' comparisons under a collation that the test controls.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <strings.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <random>

#include "lookup/index_format.h"
#include "lookup/search.h"
#include "lookup_support.h"

// --- a collation the test controls ----------------------------------------
//
// The module's verifiers call strcoll; this definition takes its place in
// the test program.  Normally it defers to the C library's.

namespace {
enum class Collation { Library, IgnoreCase, Reversed };
Collation collation = Collation::Library;
// Called from inside the verifier, while the search holds the map open.
void (*during_collation)() = nullptr;
}  // namespace

extern "C" int strcoll(const char *a, const char *b) {
  if (during_collation != nullptr) during_collation();
  switch (collation) {
    case Collation::IgnoreCase:
      return strcasecmp(a, b);
    case Collation::Reversed:
      return -strcmp(a, b);
    case Collation::Library:
      break;
  }
  using Fn = int (*)(const char *, const char *);
  static Fn next = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "strcoll"));
  return next != nullptr ? next(a, b) : strcmp(a, b);
}

namespace vesk_test {
namespace {

// --- the index format's bounded readers -----------------------------------

// Bytes placed so that their last byte is the last readable one: the page
// after them is inaccessible, and any read past the end faults.
struct Guarded {
  size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  char *base = nullptr;
  const char *data = nullptr;
  explicit Guarded(const std::string &bytes) {
    size_t pages = (bytes.size() + page - 1) / page + 1;
    void *m = mmap(nullptr, pages * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED) abort();
    base = static_cast<char *>(m);
    mprotect(base + (pages - 1) * page, page, PROT_NONE);
    char *start = base + (pages - 1) * page - bytes.size();
    memcpy(start, bytes.data(), bytes.size());
    data = start;
    len = pages * page;
  }
  ~Guarded() { munmap(base, len); }
  size_t len = 0;
};

using std::string_literals::operator""s;

TEST(IndexFormat, RecordLengthIsTheFirstLineWithinTheGivenSize) {
  EXPECT_EQ(vesk::index_record_length(Guarded("a\0" "12\n"s).data, 5), 5u);
  EXPECT_EQ(vesk::index_record_length(Guarded("\n").data, 1), 1u);
  EXPECT_EQ(vesk::index_record_length(Guarded(std::string(9000, 'a')).data, 9000), 0u);
  // The first newline must come within the longest record an index may
  // have; beyond it the file is no index, found out without reading it all.
  for (size_t at : {size_t{4095}, size_t{4096}, size_t{4097}, size_t{8000}}) {
    std::string bytes(9000, 'a');
    bytes[at - 1] = '\n';
    EXPECT_EQ(vesk::index_record_length(Guarded(bytes).data, 9000), at <= 4096 ? at : 0u) << at;
  }
  EXPECT_EQ(vesk::index_record_length(Guarded("abc\n").data, 3), 0u) << "newline outside the size";
  EXPECT_EQ(vesk::index_record_length("", 0), 0u);
}

TEST(IndexFormat, KeyEndsAtANulBeforeTheRecordsLastByte) {
  EXPECT_EQ(vesk::index_key_length(Guarded("alice\0" "0\n"s).data, 8), 5u);
  EXPECT_EQ(vesk::index_key_length(Guarded("\0" "0\n"s).data, 3), 0u);
  EXPECT_EQ(vesk::index_key_length(Guarded("ab\0\n"s).data, 4), 2u);
  EXPECT_EQ(vesk::index_key_length(Guarded("abc\0"s).data, 4), SIZE_MAX) << "NUL only in the last byte";
  EXPECT_EQ(vesk::index_key_length(Guarded("abcdefg\n").data, 8), SIZE_MAX);
  EXPECT_EQ(vesk::index_key_length(Guarded(std::string(5000, 'k')).data, 5000), SIZE_MAX);
  EXPECT_EQ(vesk::index_key_length(Guarded("\n").data, 1), SIZE_MAX);
  EXPECT_EQ(vesk::index_key_length(Guarded("x").data, 0), SIZE_MAX);
}

// The offset reads like "%ld" on the bytes between the key's NUL and the
// record's last byte, and no further.  Each record is checked against
// sscanf on a terminated copy of exactly those bytes, placed at the end of
// readable memory: the record's last byte is a digit in many of them.
TEST(IndexFormat, OffsetParsesLikeScanfWithinTheRecord) {
  auto expected = [](const std::string &field) {
    long v = 0;
    return sscanf(field.c_str(), "%ld", &v) == 1 ? int64_t{v} : int64_t{0};
  };
  auto check = [&](const std::string &key, const std::string &field, char last) {
    std::string rec = key + '\0' + field + last;
    Guarded g(rec);
    EXPECT_EQ(vesk::index_record_offset(g.data, rec.size(), key.size()), expected(field))
        << "field '" << field << "' last byte " << int(last);
  };
  const std::string fields[] = {"0", "12345", "  42", "\t\v\f\r 7", "+8", "-9", "-0", "007", "12ab", "x12",
                          "", " ", "+", "-", "+-1", "- 1", "9223372036854775807", "9223372036854775808",
                          "-9223372036854775808", "-9223372036854775809", "123456789012345678901234567890",
                          "-99999999999999999999999999", "5\0" "9"s};
  for (const std::string &f : fields) {
    check("k", f, '\n');
    check("k", f, '7');  // a digit where the newline belongs is no part of the number
  }
  std::mt19937 rng(20261209);
  const std::string alphabet = std::string("0123456789+- \t\n\vx", 18) + '\0';
  for (int i = 0; i < 20000; ++i) {
    std::string field;
    size_t n = rng() % 24;
    for (size_t j = 0; j < n; ++j) field += alphabet[rng() % alphabet.size()];
    check(std::string(1 + rng() % 3, 'k'), field, "\n5x"[rng() % 3]);
  }
}

// --- _nss_vesk_bsearch2 with the module's verifiers -------------------------

constexpr time_t kTime = 1700000000;

// uid/gid and name of each record: keys of 100, 20, 3 sort in that order.
struct Row {
  const char *name;
  uint32_t id;
};
const Row kRows[] = {{"root", 0}, {"alice", 1000}, {"bob", 20}, {"carol", 100}, {"dave", 3}, {"erin", 4294967294u}};

class SearchTest : public ::testing::TestWithParam<Kind> {
 protected:
  TempDir dir;
  std::string map = dir.file("map");
  std::string index = map + index_suffix(GetParam());
  std::vector<int64_t> offsets;
  std::string content;
  uint32_t wanted_id = 0;
  std::string wanted_name;
  struct passwd pw;
  struct group gr;
  std::vector<char> buffer = std::vector<char>(4096);
  int err = kUntouched;

  void SetUp() override {
    for (const Row &r : kRows) {
      offsets.push_back(static_cast<int64_t>(content.size()));
      content += GetParam().db == Db::Passwd
                     ? std::string(r.name) + ":x:" + std::to_string(r.id) + ":1:gecos:/:/bin/sh\n"
                     : std::string(r.name) + ":x:" + std::to_string(r.id) + ":a,b\n";
    }
    content += "a line no reader accepts\n";
    write_file(map, content);
    set_mtime(map, kTime);
    write_index(index_of({0, 1, 2, 3, 4, 5}));
  }

  bool by_name() const { return GetParam().key == Key::Name; }
  std::string key_of(size_t i) const { return by_name() ? kRows[i].name : id_key(kRows[i].id); }
  std::string index_of(const std::vector<size_t> &rows, bool sorted = true) const {
    std::vector<IndexEntry> e;
    for (size_t i : rows) e.push_back({key_of(i), offsets[i]});
    return index_bytes(e, sorted);
  }
  void write_index(const std::string &bytes, time_t mtime = kTime) {
    write_file(index, bytes);
    set_mtime(index, mtime);
  }

  // _nss_vesk_bsearch2 for record `row`'s key, as the lookups call it.
  enum nss_status search(size_t row, size_t buflen = 4096) {
    return search_key(kRows[row].name, kRows[row].id, buflen);
  }
  enum nss_status search_key(const std::string &name, uint32_t id, size_t buflen = 4096) {
    wanted_id = id;
    wanted_name = name;
    std::string key = by_name() ? name : id_key(id);
    const bool pwd = GetParam().db == Db::Passwd;
    IndexSearch s{};
    s.map_path = map.c_str();
    s.index_path = index.c_str();
    s.verify = by_name() ? (pwd ? vesk::verify_passwd_name : vesk::verify_group_name)
                         : (pwd ? vesk::verify_passwd_uid : vesk::verify_group_gid);
    s.wanted = by_name() ? static_cast<const void *>(wanted_name.c_str()) : &wanted_id;
    s.result = pwd ? static_cast<void *>(&pw) : static_cast<void *>(&gr);
    buffer.assign(buflen, '\0');
    s.buffer = buffer.data();
    s.buffer_len = buflen;
    s.key = key.c_str();
    s.key_len = key.size();
    err = kUntouched;
    memset(&pw, 0, sizeof pw);
    memset(&gr, 0, sizeof gr);
    return _nss_vesk_bsearch2(&s, &err);
  }
  std::string found_name() const {
    const char *n = GetParam().db == Db::Passwd ? pw.pw_name : gr.gr_name;
    return n != nullptr ? n : "";
  }

  // An index of every record, with row `row`'s offset spelled `text`.
  std::string index_with_offset(size_t row, const std::string &text) const {
    std::vector<RawEntry> e;
    for (size_t i = 0; i < std::size(kRows); ++i)
      e.push_back({key_of(i), i == row ? text : std::to_string(offsets[i])});
    std::sort(e.begin(), e.end(), [](const RawEntry &a, const RawEntry &b) { return strcmp(a.key.c_str(), b.key.c_str()) < 0; });
    return raw_index(e);
  }

  void expect_status(enum nss_status got, enum nss_status want) {
    EXPECT_EQ(got, want);
    EXPECT_EQ(err, kUntouched) << "the error number is set only with ERANGE";
  }
};

TEST_P(SearchTest, FreshIndexFindsTheRecordOrAnswersNotFound) {
  for (size_t i = 0; i < std::size(kRows); ++i) {
    expect_status(search(i), NSS_STATUS_SUCCESS);
    EXPECT_EQ(found_name(), kRows[i].name);
  }
  expect_status(search_key("nobody", 4242), NSS_STATUS_NOTFOUND);
}

TEST_P(SearchTest, IndexThatCantBeUsedIsUnavailable) {
  write_index(index_of({0, 1}), kTime - 1);  // one second older than the map
  expect_status(search(1), NSS_STATUS_UNAVAIL);
  expect_status(search(3), NSS_STATUS_UNAVAIL);
  write_index(index_of({0, 1}), kTime);  // the same second
  expect_status(search(1), NSS_STATUS_SUCCESS);
  expect_status(search(3), NSS_STATUS_NOTFOUND);

  write_index("");
  expect_status(search(1), NSS_STATUS_UNAVAIL);
  unlink(index.c_str());
  expect_status(search(1), NSS_STATUS_UNAVAIL);
  ASSERT_EQ(mkfifo(index.c_str(), 0600), 0);  // not a regular file: refused, not waited on
  expect_status(search(1), NSS_STATUS_UNAVAIL);
  unlink(index.c_str());
  ASSERT_EQ(mkdir(index.c_str(), 0700), 0);
  expect_status(search(1), NSS_STATUS_UNAVAIL);
  rmdir(index.c_str());

  write_index(index_of({0, 1}));
  unlink(map.c_str());
  expect_status(search(1), NSS_STATUS_UNAVAIL);
}

TEST_P(SearchTest, OffsetElsewhereThanTheWantedRecordIsUnavailable) {
  const auto size = static_cast<int64_t>(content.size());
  const int64_t bad_line = offsets.back() + static_cast<int64_t>(content.size() - offsets.back()) -
                           static_cast<int64_t>(strlen("a line no reader accepts\n"));
  for (const std::string &text : {std::to_string(offsets[3]), std::string("-1"), std::string("-9223372036854775808"),
                                  std::to_string(size), std::to_string(size + 1), std::to_string(bad_line),
                                  std::string("99999999999999999999")}) {
    SCOPED_TRACE("offset " + text);
    write_index(index_with_offset(1, text));
    expect_status(search(1), NSS_STATUS_UNAVAIL);
    expect_status(search(3), NSS_STATUS_SUCCESS);
  }
}

TEST_P(SearchTest, UnparsableOffsetIsZero) {
  for (const std::string &text : {std::string(""), std::string("x"), std::string("-"), std::string(" +")}) {
    SCOPED_TRACE("offset '" + text + "'");
    write_index(index_with_offset(0, text));
    expect_status(search(0), NSS_STATUS_SUCCESS);
    write_index(index_with_offset(2, text));
    expect_status(search(2), NSS_STATUS_UNAVAIL);  // record 0 sits at offset 0
  }
}

TEST_P(SearchTest, RecordLargerThanTheBufferIsTryAgainWithERANGE) {
  EXPECT_EQ(search(1, 8), NSS_STATUS_TRYAGAIN);
  EXPECT_EQ(err, ERANGE);
  expect_status(search(1, 4096), NSS_STATUS_SUCCESS);
}

TEST_P(SearchTest, MalformedIndexIsUnavailable) {
  const std::string key = key_of(1), off = std::to_string(offsets[1]);
  std::string no_newline = key + '\0' + off;
  no_newline.resize(4096, '\0');
  std::string digits_to_end;
  // The wanted record: as long as the first, digits in its last byte.
  {
    size_t len = std::max(key.size() + 2 + off.size(), size_t{6});
    std::string first = std::string("!") + '\0' + "0";
    first.resize(len - 1, '\0');
    first += '\n';
    std::string wanted = key + '\0';
    wanted += std::string(len - wanted.size() - off.size(), '0') + off;
    digits_to_end = first + wanted;
  }
  // The wanted record (met first by the search) ends in filler, not a newline.
  std::string nul_for_newline = raw_index({{"!", "0"}, {key, off}});
  nul_for_newline.back() = '\0';
  for (const auto &[label, bytes] : std::vector<std::pair<const char *, std::string>>{
           {"no newline", no_newline},
           {"no NUL, no newline", std::string(8192, 'q')},
           {"keys without NUL", std::string(key.substr(0, 1) + "qqq\n") + key.substr(0, 1) + "qqq\n" + key.substr(0, 1) + "qqq\n"},
           {"digits to the record's end", digits_to_end},
           {"NUL where the newline belongs", nul_for_newline},
           {"a lone newline", "\n"}}) {
    SCOPED_TRACE(label);
    write_index(bytes);
    expect_status(search(1), NSS_STATUS_UNAVAIL);
  }
}

INSTANTIATE_TEST_SUITE_P(AllKinds, SearchTest,
                         ::testing::Values(kPasswdByName, kPasswdByUid, kGroupByName, kGroupByGid),
                         [](const auto &info) { return std::string(info.param.label); });

using IdSearchTest = SearchTest;

TEST_P(IdSearchTest, IdKeysSortAsStrings) {
  write_index(index_of({3, 2, 4}, false));  // "100", "20", "3"
  expect_status(search(3), NSS_STATUS_SUCCESS);
  expect_status(search(2), NSS_STATUS_SUCCESS);
  expect_status(search(4), NSS_STATUS_SUCCESS);
  write_index(index_of({4, 2, 3}, false));  // numeric order: only the middle is met
  expect_status(search(4), NSS_STATUS_NOTFOUND);
  expect_status(search(2), NSS_STATUS_SUCCESS);
  expect_status(search(3), NSS_STATUS_NOTFOUND);
}

// Ids compare as unsigned 32-bit numbers: uid 4294967294 is above 5.
TEST_P(IdSearchTest, VerifierComparesIdsUnsigned) {
  write_index(raw_index({{id_key(5), std::to_string(offsets[5])}}));
  expect_status(search_key("", 5), NSS_STATUS_UNAVAIL);
  FILE *f = fopen(map.c_str(), "r");
  ASSERT_NE(f, nullptr);
  fseek(f, offsets[5], SEEK_SET);
  uint32_t want = 5;
  IndexSearch s{};
  s.wanted = &want;
  s.result = GetParam().db == Db::Passwd ? static_cast<void *>(&pw) : static_cast<void *>(&gr);
  s.buffer = buffer.data();
  s.buffer_len = buffer.size();
  auto verify = GetParam().db == Db::Passwd ? vesk::verify_passwd_uid : vesk::verify_group_gid;
  EXPECT_EQ(verify(f, &s), RecordAbove);
  fseek(f, offsets[1], SEEK_SET);  // uid 1000
  want = 4294967294u;
  EXPECT_EQ(verify(f, &s), RecordBelow);
  fclose(f);
}

INSTANTIATE_TEST_SUITE_P(IdKinds, IdSearchTest, ::testing::Values(kPasswdByUid, kGroupByGid),
                         [](const auto &info) { return std::string(info.param.label); });

// --- name verification under collation --------------------------------------

class NameVerifyTest : public SearchTest {
 protected:
  void TearDown() override {
    collation = Collation::Library;
    during_collation = nullptr;
  }
};

// A name that merely collates equal to the wanted one is another name: in a
// locale where "Alice" and "alice" collate equal, an index entry "Alice"
// that points at alice's line is not an answer, and neither search nor
// lookup hands alice back for "Alice".
TEST_P(NameVerifyTest, CollatingEqualIsNotEqual) {
  collation = Collation::IgnoreCase;
  write_index(raw_index({{"Alice", std::to_string(offsets[1])}, {"alice", std::to_string(offsets[1])}}));
  expect_status(search_key("Alice", 0), NSS_STATUS_UNAVAIL);
  expect_status(search_key("alice", 0), NSS_STATUS_SUCCESS);

  _nss_vesk_setpwent_path(map.c_str());
  _nss_vesk_setgrent_path(map.c_str());
  index = map + NSS_VESK_SUFFIX_NAME;
  write_index(raw_index({{"Alice", std::to_string(offsets[1])}, {"alice", std::to_string(offsets[1])}}));
  Answer a = lookup(GetParam(), "Alice", 0, 4096);
  EXPECT_EQ(a.status, NSS_STATUS_NOTFOUND) << "handed back " << a.name;
  a = lookup(GetParam(), "alice", 0, 4096);
  EXPECT_EQ(a.status, NSS_STATUS_SUCCESS);
  EXPECT_EQ(a.name, "alice");
}

// The collation, not the byte order, says whether a different record sorts
// above or below the wanted one.
TEST_P(NameVerifyTest, CollationDecidesAboveAndBelow) {
  FILE *f = fopen(map.c_str(), "r");
  ASSERT_NE(f, nullptr);
  IndexSearch s{};
  s.result = GetParam().db == Db::Passwd ? static_cast<void *>(&pw) : static_cast<void *>(&gr);
  s.buffer = buffer.data();
  s.buffer_len = buffer.size();
  s.wanted = "alice";
  auto verify = GetParam().db == Db::Passwd ? vesk::verify_passwd_name : vesk::verify_group_name;
  fseek(f, offsets[2], SEEK_SET);  // bob
  EXPECT_EQ(verify(f, &s), RecordAbove);
  collation = Collation::Reversed;
  fseek(f, offsets[2], SEEK_SET);
  EXPECT_EQ(verify(f, &s), RecordBelow);
  fseek(f, offsets[1], SEEK_SET);
  EXPECT_EQ(verify(f, &s), Equal);
  fseek(f, offsets.back() + 1000, SEEK_SET);
  EXPECT_EQ(verify(f, &s), ReadFailed);
  fclose(f);
}

// The map file the search reads is opened close-on-exec and non-blocking
// (looked at while the verifier runs, the only moment it is open).
TEST_P(NameVerifyTest, MapIsOpenedCloseOnExecAndNonBlocking) {
  static std::string dir_path;
  static int seen, flagged_ok;
  dir_path = dir.path;
  seen = flagged_ok = 0;
  during_collation = [] {
    DIR *d = opendir("/proc/self/fd");
    if (d == nullptr) return;
    while (struct dirent *e = readdir(d)) {
      char target[4096];
      std::string link = std::string("/proc/self/fd/") + e->d_name;
      ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
      if (n <= 0 || std::string(target, static_cast<size_t>(n)).rfind(dir_path, 0) != 0) continue;
      int fd = atoi(e->d_name);
      ++seen;
      if ((fcntl(fd, F_GETFD) & FD_CLOEXEC) && (fcntl(fd, F_GETFL) & O_NONBLOCK)) ++flagged_ok;
    }
    closedir(d);
  };
  expect_status(search(1), NSS_STATUS_SUCCESS);
  EXPECT_EQ(seen, 1) << "only the map is open while verifying; the index is closed by then";
  EXPECT_EQ(flagged_ok, seen);
}

INSTANTIATE_TEST_SUITE_P(NameKinds, NameVerifyTest, ::testing::Values(kPasswdByName, kGroupByName),
                         [](const auto &info) { return std::string(info.param.label); });

}  // namespace
}  // namespace vesk_test
