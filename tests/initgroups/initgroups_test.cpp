// _nss_vesk_initgroups_dyn against the module's own enumeration: for every
// user, the gids it reports must be exactly those of the records that
// _nss_vesk_getgrent_r yields with the user among their members.
#include <errno.h>
#include <grp.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "nss_vesk.h"
#include "test_support.h"

namespace {

using namespace std::string_literals;
using vesk_test::TempDir;
using vesk_test::write_file;

constexpr gid_t kNoPrimary = static_cast<gid_t>(-1) - 1;  // in no test map

// What initgroups_dyn stored after the caller's primary gid.
struct Outcome {
  enum nss_status status;
  std::vector<gid_t> gids;  // in map order
  long int size;
  int err;
};

Outcome initgroups(const char *user, gid_t primary, long int initial_size = 1, long int limit = -1) {
  long int start = 1, size = initial_size;
  gid_t *groups = static_cast<gid_t *>(malloc(static_cast<size_t>(size) * sizeof(gid_t)));
  groups[0] = primary;
  int err = 4242;
  Outcome out{};
  out.status = _nss_vesk_initgroups_dyn(user, primary, &start, &size, &groups, limit, &err);
  out.gids.assign(groups + 1, groups + start);
  out.size = size;
  out.err = err;
  free(groups);
  return out;
}

// The same answer through enumeration, one parsed record at a time.
// A compat name is no user, so it is in no group.
std::vector<gid_t> enumerated(const std::string &user, gid_t primary) {
  std::vector<gid_t> gids;
  if (!user.empty() && (user[0] == '+' || user[0] == '-')) return gids;
  std::vector<char> buf(1 << 16);
  struct group g;
  int err = 0;
  EXPECT_EQ(_nss_vesk_setgrent(), NSS_STATUS_SUCCESS);
  for (;;) {
    enum nss_status s = _nss_vesk_getgrent_r(&g, buf.data(), buf.size(), &err);
    if (s == NSS_STATUS_TRYAGAIN && err == ERANGE) {
      buf.resize(buf.size() * 2);
      continue;
    }
    if (s != NSS_STATUS_SUCCESS) break;
    if (g.gr_gid == primary) continue;
    for (char **m = g.gr_mem; *m != nullptr; ++m)
      if (user == *m) {
        gids.push_back(g.gr_gid);
        break;
      }
  }
  _nss_vesk_endgrent();
  return gids;
}

// Compares both answers for each user and primary gid on the map `content`.
void expect_same_as_enumeration(const std::string &content, const std::vector<std::string> &users,
                                const std::vector<gid_t> &primaries, const std::string &what) {
  TempDir dir;
  std::string path = dir.file("group");
  write_file(path, content);
  _nss_vesk_setgrent_path(path.c_str());
  for (const auto &user : users)
    for (gid_t primary : primaries) {
      Outcome got = initgroups(user.c_str(), primary);
      ASSERT_EQ(got.status, NSS_STATUS_SUCCESS);
      std::vector<gid_t> want = enumerated(user, primary);
      // Same gids in the same (map) order, duplicates included.
      ASSERT_EQ(got.gids, want) << what << ": user '" << user << "' primary " << primary;
    }
}

const std::vector<std::string> kUsers = {"al",  "alice", "bob", "bob2",   "b",      "ob",
                                         "x",   "5",     "+",   "alice ", " alice", "al,ice",
                                         "",    "g",     "a:b", "bob\r",  "-x",     "+g"};

TEST(InitgroupsDifferential, CraftedMap) {
  const std::string full =
      "#commented:x:40:alice,bob\n"
      "\n"
      "   \n"
      "  #indented:x:41:alice,bob\n"
      "\t#tab:x:42:alice,bob\n"
      "first:x:10:alice,bob,carol\n"
      "middle:x:11:carol,alice,bob2\n"
      "last:x:12:bob2,al,alice\n"
      "only:x:13:alice\n"
      "prefixes:x:14:ali,alic,alicee,bo,bob22\n"
      "empty:x:15:\n"
      "nomembers:x:16\n"
      "primary:x:100:alice,bob\n"
      "spaces:x:17: alice , bob,\tb\n"
      "commas:x:18:,,alice,,, ,bob2,\n"
      "crlf:x:19:alice,bob\r\n"
      "crlf2:x:20:bob\r,alice\r\n"
      "colon:x:21:a:b,x\n"
      "dup:x:10:alice\n"
      "badgid:x:1x:alice\n"
      "emptygid:x::alice\n"
      "negative:x:-1:alice\n"
      "huge:x:4294967296:alice\n"
      "max:x:4294967295:alice\n"
      "wrapped:x:-18446744073709551615:alice,bob\n"
      "signed:x:+22: \t alice\n"
      "padded:x: 23:bob\n"
      "trailing:x:24 :alice\n"
      "noname\n"
      "short:x\n"
      ":x:25:alice\n"
      "+:x::alice,bob\n"
      "-nis::26:bob\n"
      "+compat\n"
      "nul:x:27:bob\0,alice\n"
      "  indented:x:28:alice\n"
      "\t\v\f\rweird:x:29:bob2\n"
      "tail:x:30:al,b"s;  // no newline at the end
  expect_same_as_enumeration(full, kUsers, {kNoPrimary, 100, 10, 0}, "crafted");

  // A few answers spelled out, so that a fault shared by both paths shows.
  TempDir dir;
  write_file(dir.file("g"), full);
  _nss_vesk_setgrent_path(dir.file("g").c_str());
  EXPECT_EQ(initgroups("alice", 100).gids,
            (std::vector<gid_t>{10, 11, 12, 13, 18, 19, 10, 4294967295u, 1, 22, 25, 28}));
  EXPECT_EQ(initgroups("bob", kNoPrimary).gids, (std::vector<gid_t>{10, 100, 17, 1, 23, 27}));
  // Compat lines grant nothing ("+:x::alice,bob", "-nis::26:bob"), and a
  // compat name is in no group even where a line lists it.
  write_file(dir.file("g"), full + "\nplain:x:31:+,-nis,-x\n");
  EXPECT_EQ(initgroups("+", kNoPrimary).gids, std::vector<gid_t>{});
  EXPECT_EQ(initgroups("-x", kNoPrimary).gids, std::vector<gid_t>{});
  EXPECT_EQ(initgroups("al", kNoPrimary).gids, (std::vector<gid_t>{12, 30}));
}

// The platform reader copes oddly with a line that has leading white space
// but no newline (the unterminated last line, or one cut by a NUL byte): the
// bytes at its end appear twice.  The pass must see the same records.
TEST(InitgroupsDifferential, UnterminatedLinesWithLeadingSpace) {
  const std::vector<std::string> tails = {"  g:x:1:a,b", " g:x:1:a,b", "   g:x:1:a,bob",
                                          "\tg:x:7:alice", "  g:x:12", "  g:x:1:"};
  for (const auto &tail : tails) {
    expect_same_as_enumeration("h:x:2:bob\n" + tail, {"a", "b", "bb", "ba", "bob", "ob", "alice", "ee", "e"},
                               {kNoPrimary}, tail);
    std::string nul_cut = tail + std::string(1, '\0') + "junk,bob\nz:x:3:bob\n";
    expect_same_as_enumeration(nul_cut, {"a", "b", "bb", "ba", "bob", "alice", "e", "1:", ":a"}, {kNoPrimary},
                               "NUL after " + tail);
  }
}

// Random maps built from the pieces the reader is picky about, large enough
// that lines straddle the pass's read blocks.
std::string random_map(std::mt19937 &rng, bool large) {
  auto pick = [&](const std::vector<std::string> &v) { return v[rng() % v.size()]; };
  const std::vector<std::string> leads = {"", "", "", "", " ", "\t", "  ", "\r", "\v\f", "#", " #"};
  const std::vector<std::string> names = {"g", "grp", "+", "-", "+g", "-x", "", "al", "bob"};
  const std::vector<std::string> gids = {
      "5", "05", " 7", "\t8", "+9", "-0", "-1", "", " ", "4294967295", "4294967296",
      "18446744073709551615", "-18446744073709551615", "12x", "1 ", "0x1",
      "99999999999999999999999", "100", "101", "102", "103", "104"};
  const std::vector<std::string> members = {"al", "alice", "bob", "bob2", "b", "ob", "x", "a:b", ""};
  const std::vector<std::string> pads = {"", "", "", " ", "\t", "\r", "  "};
  std::string map;
  int lines = large ? 1500 : 1 + static_cast<int>(rng() % 12);
  for (int i = 0; i < lines; ++i) {
    std::string line = pick(leads) + pick(names);
    int fields = static_cast<int>(rng() % 10);  // mostly all four fields
    if (fields > 0) line += ":" + std::string(rng() % 4 ? "x" : "");
    if (fields > 1) line += ":" + (rng() % 3 ? std::to_string(rng() % 6 + 100) : pick(gids));
    if (fields > 2) {
      line += ":";
      int count = static_cast<int>(rng() % 6);
      if (large && rng() % 50 == 0) count = 20000;  // a line of ~100 KiB
      for (int m = 0; m < count; ++m) {
        if (m > 0) line += rng() % 8 ? "," : ",,";
        line += pick(pads) + pick(members) + (rng() % 6 ? "" : pick(pads));
      }
    }
    if (rng() % 40 == 0) line.insert(rng() % (line.size() + 1), 1, '\0');
    map += line;
    if (i + 1 < lines || rng() % 2) map += rng() % 10 ? "\n" : "\r\n";
  }
  return map;
}

TEST(InitgroupsDifferential, RandomMaps) {
  std::mt19937 rng(20261209);
  const std::vector<std::string> users = {"al", "alice", "bob", "bob2", "b", "ob", "x", "a:b", "g"};
  for (int round = 0; round < 400; ++round) {
    bool large = round % 40 == 0;
    std::string map = random_map(rng, large);
    expect_same_as_enumeration(map, users, {kNoPrimary, 100}, "round " + std::to_string(round));
    if (HasFatalFailure()) {
      ADD_FAILURE() << "map was: " << testing::PrintToString(map.substr(0, 2000));
      return;
    }
  }
}

TEST(InitgroupsDifferential, LongLinesAndHugeGroups) {
  // A 100,000-member group with the user first, in the middle and last, and
  // lines far longer than one read block, placed so that names straddle
  // block boundaries.
  std::vector<std::string> many;
  for (int i = 0; i < 100000; ++i) many.push_back("user" + std::to_string(i));
  auto join = [](const std::vector<std::string> &v) {
    std::string s;
    for (const auto &m : v) s += (s.empty() ? "" : ",") + m;
    return s;
  };
  std::string map = "big:x:500:" + join(many) + "\n";
  for (int shift = 0; shift < 64; ++shift) {
    map += "pad" + std::to_string(shift) + ":x:" + std::to_string(600 + shift) + ":" +
           std::string(1000 + 997 * shift, 'p') + ",user99999\n";
    map += "near" + std::to_string(shift) + ":x:" + std::to_string(700 + shift) + ":user0,alice\n";
  }
  map += "last:x:999:" + join({many.begin(), many.begin() + 30000}) + ",alice";  // no newline
  expect_same_as_enumeration(map, {"user0", "user50000", "user99999", "alice", "user2999", "user1"},
                             {kNoPrimary, 500}, "long lines");
  TempDir dir;
  write_file(dir.file("g"), map);
  _nss_vesk_setgrent_path(dir.file("g").c_str());
  EXPECT_EQ(initgroups("user99999", kNoPrimary).gids.size(), 65u);
  EXPECT_EQ(initgroups("alice", kNoPrimary).gids.size(), 65u);
}

TEST(InitgroupsArray, GrowsFromOneEntryAtLeastDoubling) {
  TempDir dir;
  std::string map;
  for (int g = 0; g < 40; ++g) map += "g" + std::to_string(g) + ":x:" + std::to_string(1000 + g) + ":alice\n";
  write_file(dir.file("g"), map);
  _nss_vesk_setgrent_path(dir.file("g").c_str());
  Outcome got = initgroups("alice", 1005, 1);
  ASSERT_EQ(got.status, NSS_STATUS_SUCCESS);
  ASSERT_EQ(got.gids.size(), 39u);
  EXPECT_EQ(got.gids.front(), 1000u);
  EXPECT_EQ(got.gids.back(), 1039u);
  EXPECT_GE(got.size, 40);

  // Growth starting from an empty array, and the sizes it goes through.
  long int start = 0, size = 0;
  gid_t *groups = nullptr;
  int err = 0;
  ASSERT_EQ(_nss_vesk_initgroups_dyn("alice", 1005, &start, &size, &groups, -1, &err), NSS_STATUS_SUCCESS);
  EXPECT_EQ(start, 39);
  EXPECT_GE(size, 39);
  free(groups);

  // A *start already beyond *size (a caller's slip) still never writes
  // past the array (the sanitizer builds would catch it).
  start = 3, size = 1;
  groups = static_cast<gid_t *>(malloc(sizeof(gid_t)));
  ASSERT_EQ(_nss_vesk_initgroups_dyn("alice", 1005, &start, &size, &groups, -1, &err), NSS_STATUS_SUCCESS);
  EXPECT_EQ(start, 42);
  EXPECT_GE(size, 42);
  free(groups);
}

TEST(InitgroupsArray, LimitCapsGrowthAndStopsStoring) {
  TempDir dir;
  std::string map;
  for (int g = 0; g < 10; ++g) map += "g" + std::to_string(g) + ":x:" + std::to_string(1000 + g) + ":alice\n";
  write_file(dir.file("g"), map);
  _nss_vesk_setgrent_path(dir.file("g").c_str());
  for (long int limit : {1L, 2L, 4L, 7L}) {
    Outcome got = initgroups("alice", 1, 1, limit);
    EXPECT_EQ(got.status, NSS_STATUS_SUCCESS);
    EXPECT_EQ(got.size, limit);
    std::vector<gid_t> first;
    for (long int g = 0; g + 1 < limit; ++g) first.push_back(static_cast<gid_t>(1000 + g));
    EXPECT_EQ(got.gids, first) << "limit " << limit;
  }
  // A limit above the number of matches changes nothing.
  EXPECT_EQ(initgroups("alice", 1, 1, 64).gids.size(), 10u);
}

TEST(InitgroupsArray, GrowthThatCannotHappenIsTryAgainWithEnomem) {
  TempDir dir;
  write_file(dir.file("g"), "a:x:1:bob\nb:x:2:alice\n");
  _nss_vesk_setgrent_path(dir.file("g").c_str());
  // An array already so large that doubling it overflows: the pass must
  // report ENOMEM without touching the (fake) array or *start.
  long int huge = LONG_MAX / 4 + 1;
  long int start = huge, size = huge;
  gid_t *groups = reinterpret_cast<gid_t *>(16);
  int err = 0;
  EXPECT_EQ(_nss_vesk_initgroups_dyn("alice", 0, &start, &size, &groups, -1, &err), NSS_STATUS_TRYAGAIN);
  EXPECT_EQ(err, ENOMEM);
  EXPECT_EQ(start, huge);
  EXPECT_EQ(size, huge);
  EXPECT_EQ(groups, reinterpret_cast<gid_t *>(16));
}

TEST(InitgroupsMap, MissingOrUnusableMapIsUnavailWithErrnoUntouched) {
  TempDir dir;
  ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
  int fds = vesk_test::count_open_fds();
  for (const std::string &path : {dir.file("missing"), dir.file("fifo"), dir.path}) {
    _nss_vesk_setgrent_path(path.c_str());
    Outcome got = initgroups("alice", 1);
    EXPECT_EQ(got.status, NSS_STATUS_UNAVAIL) << path;
    EXPECT_EQ(got.err, 4242) << path;
    EXPECT_TRUE(got.gids.empty());
  }
  write_file(dir.file("g"), "a:x:1:alice\n");
  _nss_vesk_setgrent_path(dir.file("g").c_str());
  EXPECT_EQ(initgroups("alice", 0).gids, std::vector<gid_t>{1});
  EXPECT_EQ(initgroups("nobody", 0).status, NSS_STATUS_SUCCESS);
  EXPECT_EQ(vesk_test::count_open_fds(), fds);
}

TEST(InitgroupsMap, LeavesTheEnumerationWhereItWas) {
  TempDir dir;
  write_file(dir.file("g"), "a:x:1:alice\nb:x:2:alice\nc:x:3:alice\n");
  _nss_vesk_setgrent_path(dir.file("g").c_str());
  std::vector<char> buf(4096);
  struct group g;
  int err = 0;
  ASSERT_EQ(_nss_vesk_setgrent(), NSS_STATUS_SUCCESS);
  ASSERT_EQ(_nss_vesk_getgrent_r(&g, buf.data(), buf.size(), &err), NSS_STATUS_SUCCESS);
  EXPECT_STREQ(g.gr_name, "a");
  EXPECT_EQ(initgroups("alice", 0).gids, (std::vector<gid_t>{1, 2, 3}));
  ASSERT_EQ(_nss_vesk_getgrent_r(&g, buf.data(), buf.size(), &err), NSS_STATUS_SUCCESS);
  EXPECT_STREQ(g.gr_name, "b");
  _nss_vesk_endgrent();
}

TEST(InitgroupsMap, ConcurrentPassesBesideAnEnumeration) {
  TempDir dir;
  std::string map;
  for (int g = 0; g < 2000; ++g)
    map += "g" + std::to_string(g) + ":x:" + std::to_string(g) + ":u" + std::to_string(g % 7) + ",alice\n";
  write_file(dir.file("g"), map);
  _nss_vesk_setgrent_path(dir.file("g").c_str());
  std::vector<std::thread> threads;
  std::vector<int> wrong(4, 0);
  for (int t = 0; t < 3; ++t)
    threads.emplace_back([t, &wrong] {
      for (int i = 0; i < 20; ++i) {
        Outcome got = initgroups(("u" + std::to_string(t)).c_str(), 100000);
        if (got.status != NSS_STATUS_SUCCESS || got.gids.size() != static_cast<size_t>((2000 - t + 6) / 7)) ++wrong[t];
      }
    });
  threads.emplace_back([&wrong] {
    std::vector<char> buf(4096);
    struct group g;
    int err = 0, n = 0;
    _nss_vesk_setgrent();
    while (_nss_vesk_getgrent_r(&g, buf.data(), buf.size(), &err) == NSS_STATUS_SUCCESS) ++n;
    _nss_vesk_endgrent();
    if (n != 2000) ++wrong[3];
  });
  for (auto &th : threads) th.join();
  EXPECT_EQ(wrong, std::vector<int>(4, 0));
}

}  // namespace
