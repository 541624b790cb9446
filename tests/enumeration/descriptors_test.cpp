// The enumeration streams' descriptors: none leaked over many cycles or by a
// repeated set, each one close-on-exec and non-blocking, and threads that
// enumerate at once get only whole records.
#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "enum_db.h"

namespace vesk_test {
namespace {

std::set<int> open_fds() {
  std::set<int> fds;
  DIR *d = opendir("/proc/self/fd");
  if (d == nullptr) return fds;
  int own = dirfd(d);
  while (struct dirent *e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    int fd = atoi(e->d_name);
    if (fd != own) fds.insert(fd);
  }
  closedir(d);
  return fds;
}

// Descriptors in `after` that are not in `before`.
std::vector<int> added(const std::set<int> &before, const std::set<int> &after) {
  std::vector<int> out;
  for (int fd : after)
    if (!before.count(fd)) out.push_back(fd);
  return out;
}

template <typename Record>
class Descriptors : public ::testing::Test {
 protected:
  using Ops = EnumDb<Record>;
  TempDir dir;
  std::string map = dir.file("map");

  void SetUp() override {
    Ops::end();
    write_file(map, map_of<Record>("a", 3));
    Ops::set_path(map);
  }
  void TearDown() override {
    Ops::end();
    _nss_vesk_setpwent_path(NSS_VESK_PASSWD_MAP);
    _nss_vesk_setgrent_path(NSS_VESK_GROUP_MAP);
  }
  static nss_status set() { return Ops::set(); }
  static nss_status end() { return Ops::end(); }
};

using Databases = ::testing::Types<struct passwd, struct group>;
TYPED_TEST_SUITE(Descriptors, Databases);

TYPED_TEST(Descriptors, TenThousandCyclesLeaveTheDescriptorCountUnchanged) {
  int baseline = count_open_fds();
  std::vector<char> buf(4096);
  TypeParam r{};
  int err = 0;
  for (int i = 0; i < 10000; ++i) {
    ASSERT_EQ(this->set(), NSS_STATUS_SUCCESS);
    ASSERT_EQ(TestFixture::Ops::get(&r, buf.data(), buf.size(), &err), NSS_STATUS_SUCCESS);
    ASSERT_EQ(this->end(), NSS_STATUS_SUCCESS);
  }
  EXPECT_EQ(count_open_fds(), baseline);
}

TYPED_TEST(Descriptors, RepeatedSetKeepsOneStreamAndEndReleasesIt) {
  std::set<int> before = open_fds();
  for (int i = 0; i < 5; ++i) ASSERT_EQ(this->set(), NSS_STATUS_SUCCESS);
  EXPECT_EQ(added(before, open_fds()).size(), 1u);
  // A set that fails also drops the stream it replaces.
  TestFixture::Ops::set_path(this->dir.file("absent"));
  EXPECT_EQ(this->set(), NSS_STATUS_UNAVAIL);
  EXPECT_EQ(open_fds(), before);
  TestFixture::Ops::set_path(this->map);
  ASSERT_EQ(this->set(), NSS_STATUS_SUCCESS);
  ASSERT_EQ(this->set(), NSS_STATUS_SUCCESS);
  EXPECT_EQ(this->end(), NSS_STATUS_SUCCESS);
  EXPECT_EQ(open_fds(), before);
}

TYPED_TEST(Descriptors, StreamIsCloseOnExecAndNonBlockingWhoeverOpensIt) {
  for (bool by_get : {false, true}) {
    std::set<int> before = open_fds();
    if (by_get)
      ASSERT_EQ(get_one<TypeParam>().status, NSS_STATUS_SUCCESS);
    else
      ASSERT_EQ(this->set(), NSS_STATUS_SUCCESS);
    std::vector<int> fds = added(before, open_fds());
    ASSERT_EQ(fds.size(), 1u) << (by_get ? "get" : "set");
    int fd_flags = fcntl(fds[0], F_GETFD);
    int fl_flags = fcntl(fds[0], F_GETFL);
    ASSERT_NE(fd_flags, -1);
    EXPECT_TRUE(fd_flags & FD_CLOEXEC) << (by_get ? "get" : "set");
    EXPECT_TRUE(fl_flags & O_NONBLOCK) << (by_get ? "get" : "set");
    EXPECT_EQ(fl_flags & O_ACCMODE, O_RDONLY);
    this->end();
  }
}

TYPED_TEST(Descriptors, EnumerationStreamIsClosedNotLeakedByALookupThatScans) {
  // No index beside the map: the lookup scans with the database's stream,
  // which replaces the enumeration's stream and is closed at the end.
  std::set<int> before = open_fds();
  ASSERT_EQ(get_one<TypeParam>().line, TestFixture::Ops::line("a", 1));
  std::vector<char> buf(1 << 20);
  TypeParam r{};
  int err = 0;
  nss_status s;
  if constexpr (std::is_same_v<TypeParam, struct passwd>)
    s = _nss_vesk_getpwnam_r("au3", &r, buf.data(), buf.size(), &err);
  else
    s = _nss_vesk_getgrgid_r(7000 - 3, &r, buf.data(), buf.size(), &err);
  EXPECT_EQ(s, NSS_STATUS_SUCCESS);
  EXPECT_EQ(record_line(r), TestFixture::Ops::line("a", 3));
  EXPECT_EQ(open_fds(), before);
  EXPECT_EQ(get_one<TypeParam>().line, TestFixture::Ops::line("a", 1));  // starts over
}

TEST(EnumerationThreads, ConcurrentEnumerationsYieldOnlyWholeRecords) {
  TempDir dir;
  std::string pmap, gmap;
  std::set<std::string> plines, glines;
  for (int i = 1; i <= 40; ++i) {
    std::string p = EnumDb<struct passwd>::line("t", i, i * 7);
    std::string g = EnumDb<struct group>::line("t", i, i * 7);
    pmap += p + "\n";
    gmap += g + "\n";
    plines.insert(p);
    glines.insert(g);
  }
  write_file(dir.file("p"), pmap);
  write_file(dir.file("g"), gmap);
  _nss_vesk_setpwent_path(dir.file("p").c_str());
  _nss_vesk_setgrent_path(dir.file("g").c_str());
  int baseline = count_open_fds();

  std::atomic<int> bad{0}, records{0};
  auto worker = [&](int id) {
    std::vector<char> buf(id % 2 ? 8192 : 200);  // small buffers meet ERANGE now and then
    for (int round = 0; round < 60; ++round) {
      bool group = (id + round) % 2 == 1;
      if (round % 3 == 0) group ? _nss_vesk_setgrent() : _nss_vesk_setpwent();
      for (int n = 0; n < 100; ++n) {
        int err = 0;
        nss_status s;
        std::string line;
        if (group) {
          struct group r{};
          s = _nss_vesk_getgrent_r(&r, buf.data(), buf.size(), &err);
          if (s == NSS_STATUS_SUCCESS) line = record_line(r), bad += !glines.count(line);
        } else {
          struct passwd r{};
          s = _nss_vesk_getpwent_r(&r, buf.data(), buf.size(), &err);
          if (s == NSS_STATUS_SUCCESS) line = record_line(r), bad += !plines.count(line);
        }
        if (s == NSS_STATUS_SUCCESS) {
          ++records;
        } else if (s == NSS_STATUS_TRYAGAIN) {
          bad += err != ERANGE;
        } else {
          bad += s != NSS_STATUS_NOTFOUND || err != 0;
          break;
        }
      }
      if (round % 4 == 3) group ? _nss_vesk_endgrent() : _nss_vesk_endpwent();
    }
  };
  std::vector<std::thread> threads;
  for (int id = 0; id < 4; ++id) threads.emplace_back(worker, id);
  for (auto &t : threads) t.join();
  _nss_vesk_endpwent();
  _nss_vesk_endgrent();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_GT(records.load(), 0);
  EXPECT_EQ(count_open_fds(), baseline);
  _nss_vesk_setpwent_path(NSS_VESK_PASSWD_MAP);
  _nss_vesk_setgrent_path(NSS_VESK_GROUP_MAP);
}

}  // namespace
}  // namespace vesk_test
