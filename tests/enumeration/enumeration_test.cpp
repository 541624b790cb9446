// Enumeration through the module's set / get / end functions: file order,
// end of data, restarts, missing or unusable map files, and the path setters
// as seen through which file an enumeration opens.
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "enum_db.h"

namespace vesk_test {
namespace {

template <typename Record>
class Enumeration : public ::testing::Test {
 protected:
  using Ops = EnumDb<Record>;
  TempDir dir;
  std::string map = dir.file("map");

  void SetUp() override {
    Ops::end();
    Ops::set_path(map);
  }
  void TearDown() override {
    Ops::end();
    _nss_vesk_setpwent_path(NSS_VESK_PASSWD_MAP);
    _nss_vesk_setgrent_path(NSS_VESK_GROUP_MAP);
  }
  static std::string line(const std::string &tag, int i) { return Ops::line(tag, i); }
  static nss_status set() { return Ops::set(); }
  static nss_status end() { return Ops::end(); }
  static void set_path(const std::string &p) { Ops::set_path(p); }
  static Got get() { return get_one<Record>(); }
  void expect_record(const std::string &tag, int i) {
    Got g = get();
    ASSERT_EQ(g.status, NSS_STATUS_SUCCESS) << "expected " << tag << " record " << i;
    EXPECT_EQ(g.line, line(tag, i));
  }
  void expect_end() {
    errno = EBADF;
    Got g = get();
    EXPECT_EQ(g.status, NSS_STATUS_NOTFOUND);
    EXPECT_EQ(g.err, 0);
    EXPECT_EQ(errno, 0);
  }
};

using Databases = ::testing::Types<struct passwd, struct group>;
TYPED_TEST_SUITE(Enumeration, Databases);

TYPED_TEST(Enumeration, ReadsRecordsInFileOrderThenReportsEndAgainAndAgain) {
  // Ids descend and names are not sorted: only the file's order counts.
  write_file(this->map, this->line("b", 2) + "\n" + this->line("c", 10) + "\n" +
                            this->line("a", 1) + "\n");
  ASSERT_EQ(this->set(), NSS_STATUS_SUCCESS);
  this->expect_record("b", 2);
  this->expect_record("c", 10);
  this->expect_record("a", 1);
  this->expect_end();
  this->expect_end();  // the stream stays at its end until closed or reopened
  this->expect_end();
}

// Compat lines are passed over wherever they stand, the last line included.
TYPED_TEST(Enumeration, CompatLinesArePassedOver) {
  const std::string plus = "+" + this->line("p", 1), minus = "-" + this->line("m", 2);
  write_file(this->map, plus + "\n" + this->line("a", 1) + "\n" + minus + "\n" + plus + "\n" +
                            this->line("a", 2) + "\n+\n-\n" + minus);
  ASSERT_EQ(this->set(), NSS_STATUS_SUCCESS);
  this->expect_record("a", 1);
  this->expect_record("a", 2);
  this->expect_end();
}

TYPED_TEST(Enumeration, MapWithoutFinalNewlineOrWithNoRecordsEnds) {
  write_file(this->map, this->line("a", 1) + "\n" + this->line("a", 2));
  this->expect_record("a", 1);
  this->expect_record("a", 2);
  this->expect_end();

  write_file(this->map, "");
  ASSERT_EQ(this->set(), NSS_STATUS_SUCCESS);
  this->expect_end();
}

TYPED_TEST(Enumeration, SetRestartsAtFirstRecordMidwayAndAfterTheEnd) {
  write_file(this->map, map_of<TypeParam>("a", 3));
  ASSERT_EQ(this->set(), NSS_STATUS_SUCCESS);
  this->expect_record("a", 1);
  this->expect_record("a", 2);
  ASSERT_EQ(this->set(), NSS_STATUS_SUCCESS);
  this->expect_record("a", 1);
  this->expect_record("a", 2);
  this->expect_record("a", 3);
  this->expect_end();
  ASSERT_EQ(this->set(), NSS_STATUS_SUCCESS);
  this->expect_record("a", 1);
}

TYPED_TEST(Enumeration, GetWithoutSetOpensTheMapAndEndMakesTheNextGetStartOver) {
  write_file(this->map, map_of<TypeParam>("a", 3));
  EXPECT_EQ(this->end(), NSS_STATUS_SUCCESS);  // no stream open
  EXPECT_EQ(this->end(), NSS_STATUS_SUCCESS);
  this->expect_record("a", 1);
  this->expect_record("a", 2);
  EXPECT_EQ(this->end(), NSS_STATUS_SUCCESS);
  this->expect_record("a", 1);
}

TYPED_TEST(Enumeration, MissingMapIsUnavailableWithErrorNumberUntouchedUntilItAppears) {
  EXPECT_EQ(this->set(), NSS_STATUS_UNAVAIL);
  for (int i = 0; i < 2; ++i) {
    Got g = this->get();
    EXPECT_EQ(g.status, NSS_STATUS_UNAVAIL);
    EXPECT_EQ(g.err, -12345);  // left as the caller set it
  }
  write_file(this->map, map_of<TypeParam>("a", 2));  // each call tries the file again
  this->expect_record("a", 1);
}

TYPED_TEST(Enumeration, FailedSetDropsTheEnumerationInProgress) {
  write_file(this->map, map_of<TypeParam>("a", 3));
  this->expect_record("a", 1);
  this->set_path(this->dir.file("absent"));
  EXPECT_EQ(this->set(), NSS_STATUS_UNAVAIL);
  EXPECT_EQ(this->get().status, NSS_STATUS_UNAVAIL);  // not record 2 of the old stream
  this->set_path(this->map);
  this->expect_record("a", 1);
}

TYPED_TEST(Enumeration, DirectoryOrFifoInPlaceOfTheMapIsUnavailableAtOnce) {
  // A FIFO without a writer would block a plain open forever; the alarm
  // turns such a hang into a failure.
  std::string fifo = this->dir.file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  alarm(20);
  for (const std::string &path : {this->dir.path, fifo}) {
    this->set_path(path);
    EXPECT_EQ(this->set(), NSS_STATUS_UNAVAIL) << path;
    Got g = this->get();
    EXPECT_EQ(g.status, NSS_STATUS_UNAVAIL) << path;
    EXPECT_EQ(g.err, -12345);
  }
  alarm(0);
}

TYPED_TEST(Enumeration, NewPathTakesEffectOnlyAtTheNextSetOrAfterEnd) {
  std::string other = this->dir.file("other");
  write_file(this->map, map_of<TypeParam>("a", 2));
  write_file(other, map_of<TypeParam>("b", 2));

  ASSERT_EQ(this->set(), NSS_STATUS_SUCCESS);
  this->expect_record("a", 1);
  this->set_path(other);
  this->expect_record("a", 2);  // the open stream goes on with its own file
  this->expect_end();
  this->expect_end();
  ASSERT_EQ(this->set(), NSS_STATUS_SUCCESS);
  this->expect_record("b", 1);

  this->set_path(this->map);
  this->expect_record("b", 2);
  this->end();
  this->expect_record("a", 1);  // first read after end opens the new path
}

TYPED_TEST(Enumeration, OverlongPathIsCutToItsFirst254Characters) {
  // The directory's path plus a file name of exactly 254 characters; files
  // also exist under the 253- and 255-character prefixes, so a cut in the
  // wrong place opens a different map and a path kept whole opens none.
  std::string prefix = this->dir.path + "/";
  ASSERT_LT(prefix.size(), 254u - 16);
  std::string path300 = prefix + std::string(254 - prefix.size(), 'm') + "n" +
                        std::string(300 - 255, 'z');
  ASSERT_EQ(path300.size(), 300u);
  write_file(path300.substr(0, 253), map_of<TypeParam>("short", 1));
  write_file(path300.substr(0, 254), map_of<TypeParam>("cut", 1));
  write_file(path300.substr(0, 255), map_of<TypeParam>("long", 1));

  this->set_path(path300);
  ASSERT_EQ(this->set(), NSS_STATUS_SUCCESS);
  this->expect_record("cut", 1);
}

TYPED_TEST(Enumeration, ShorterPathAfterLongerLeavesNoTraceOfIt) {
  write_file(this->dir.file("abcdefgh"), map_of<TypeParam>("long", 1));
  write_file(this->dir.file("abc"), map_of<TypeParam>("short", 1));
  this->set_path(this->dir.file("abcdefgh"));
  this->expect_record("long", 1);
  this->end();
  this->set_path(this->dir.file("abc"));
  ASSERT_EQ(this->set(), NSS_STATUS_SUCCESS);
  this->expect_record("short", 1);
}

TEST(EnumerationDatabases, EachDatabaseHasItsOwnPathAndStream) {
  TempDir dir;
  write_file(dir.file("p"), map_of<struct passwd>("p", 3));
  write_file(dir.file("g"), map_of<struct group>("g", 3));
  _nss_vesk_setpwent_path(dir.file("p").c_str());
  _nss_vesk_setgrent_path(dir.file("g").c_str());
  ASSERT_EQ(_nss_vesk_setpwent(), NSS_STATUS_SUCCESS);
  ASSERT_EQ(_nss_vesk_setgrent(), NSS_STATUS_SUCCESS);
  EXPECT_EQ(get_one<struct passwd>().line, EnumDb<struct passwd>::line("p", 1));
  EXPECT_EQ(get_one<struct group>().line, EnumDb<struct group>::line("g", 1));
  EXPECT_EQ(_nss_vesk_endgrent(), NSS_STATUS_SUCCESS);  // leaves passwd alone
  EXPECT_EQ(get_one<struct passwd>().line, EnumDb<struct passwd>::line("p", 2));
  EXPECT_EQ(get_one<struct group>().line, EnumDb<struct group>::line("g", 1));
  ASSERT_EQ(_nss_vesk_setgrent(), NSS_STATUS_SUCCESS);  // leaves passwd alone too
  EXPECT_EQ(get_one<struct passwd>().line, EnumDb<struct passwd>::line("p", 3));
  _nss_vesk_endpwent();
  _nss_vesk_endgrent();
  _nss_vesk_setpwent_path(NSS_VESK_PASSWD_MAP);
  _nss_vesk_setgrent_path(NSS_VESK_GROUP_MAP);
}

}  // namespace
}  // namespace vesk_test
