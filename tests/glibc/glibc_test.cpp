// The module as glibc's name-service switch uses it: the service "vesk" is
// configured for passwd and group, glibc loads libnss_vesk.so.2 from the
// library path itself, and the maps are redirected with the path setters of
// that same loaded module.  Nothing here links the module or writes to /etc.
#include <dlfcn.h>
#include <errno.h>
#include <grp.h>
#include <nss.h>
#include <pwd.h>
#include <string.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "test_support.h"

namespace vesk_test {
namespace {

using SetPath = void (*)(const char *);

const std::string kBigGecos(5000, 'G');

std::vector<std::string> user_lines() {
  return {
      "alice:x:1000:1000:Alice:/home/alice:/bin/sh",
      "bob:x:1001:100:Bob:/home/bob:/bin/bash",
      "ghost:x:1002:100::/home/ghost:/bin/sh",
      "big:x:1003:100:" + kBigGecos + ":/home/big:/bin/sh",
      "high:x:4000000000:4000000000:High:/home/high:/bin/sh",
      "zero:x:0:0:Zero:/root:/bin/sh",
  };
}

std::string big_group_line() {
  std::string line = "crowd:x:2000:";
  for (int m = 0; m < 50000; ++m) line += (m ? ",m" : "m") + std::to_string(m);
  return line;
}

std::vector<std::string> group_lines() {
  return {"staff:x:100:alice,bob", "users:x:1000:", big_group_line(),
          "high:x:4294967294:alice", "wheel:x:0:zero"};
}

std::string joined(const std::vector<std::string> &lines) {
  std::string out;
  for (const auto &l : lines) out += l + "\n";
  return out;
}

class Glibc : public ::testing::Test {
 protected:
  static inline TempDir *dir = nullptr;
  static inline SetPath set_passwd_path = nullptr;
  static inline SetPath set_group_path = nullptr;

  static void SetUpTestSuite() {
    ASSERT_EQ(__nss_configure_lookup("passwd", "vesk"), 0);
    ASSERT_EQ(__nss_configure_lookup("group", "vesk"), 0);
    // Let glibc load the module first (the default maps don't exist, so
    // this finds nothing), then reach that same loaded instance.
    errno = 0;
    EXPECT_EQ(getpwnam("nobody-at-all"), nullptr);
    EXPECT_EQ(getgrnam("nobody-at-all"), nullptr);
    void *module = dlopen("libnss_vesk.so.2", RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(module, nullptr) << "glibc did not load libnss_vesk.so.2: " << dlerror();
    set_passwd_path = reinterpret_cast<SetPath>(dlsym(module, "_nss_vesk_setpwent_path"));
    set_group_path = reinterpret_cast<SetPath>(dlsym(module, "_nss_vesk_setgrent_path"));
    ASSERT_NE(set_passwd_path, nullptr);
    ASSERT_NE(set_group_path, nullptr);
    dlclose(module);  // drops only our reference; glibc keeps its own

    dir = new TempDir;
    write_file(dir->file("passwd"), joined(user_lines()));
    write_file(dir->file("group"), joined(group_lines()));
    set_passwd_path(dir->file("passwd").c_str());
    set_group_path(dir->file("group").c_str());
  }
  static void TearDownTestSuite() {
    if (set_passwd_path != nullptr) {
      set_passwd_path("/etc/passwd.vesk");
      set_group_path("/etc/group.vesk");
    }
    delete dir;
    dir = nullptr;
  }
  void SetUp() override {
    ASSERT_NE(set_passwd_path, nullptr);
    endpwent();
    endgrent();
  }
  void TearDown() override {
    endpwent();
    endgrent();
  }
};

TEST_F(Glibc, GetpwentRReturnsEveryUserInFileOrder) {
  std::vector<char> buf(1 << 16);
  std::vector<std::string> got;
  struct passwd pw, *res = nullptr;
  setpwent();
  int rc;
  while ((rc = getpwent_r(&pw, buf.data(), buf.size(), &res)) == 0) {
    ASSERT_EQ(res, &pw);
    got.push_back(record_line(pw));
  }
  EXPECT_EQ(rc, ENOENT);
  EXPECT_EQ(res, nullptr);
  EXPECT_EQ(got, user_lines());
  EXPECT_EQ(getpwent_r(&pw, buf.data(), buf.size(), &res), ENOENT);  // stays at the end
  endpwent();
  ASSERT_EQ(getpwent_r(&pw, buf.data(), buf.size(), &res), 0);  // begins anew after end
  EXPECT_EQ(record_line(pw), user_lines()[0]);
}

TEST_F(Glibc, GetgrentRReturnsEveryGroupInFileOrderIncludingFiftyThousandMembers) {
  std::vector<char> buf(4 << 20);
  std::vector<std::string> got;
  struct group gr, *res = nullptr;
  setgrent();
  int rc;
  while ((rc = getgrent_r(&gr, buf.data(), buf.size(), &res)) == 0) got.push_back(record_line(gr));
  EXPECT_EQ(rc, ENOENT);
  ASSERT_EQ(got.size(), group_lines().size());
  EXPECT_TRUE(got == group_lines());  // not printed: one line is 400 kB
}

TEST_F(Glibc, SmallBufferGivesERangeAndTheRetryTheSameRecord) {
  std::vector<char> big(4 << 20);
  char small[32];
  struct passwd pw, *pres = nullptr;
  setpwent();
  ASSERT_EQ(getpwent_r(&pw, big.data(), big.size(), &pres), 0);  // alice
  ASSERT_EQ(getpwent_r(&pw, small, sizeof small, &pres), ERANGE);
  EXPECT_EQ(pres, nullptr);
  ASSERT_EQ(getpwent_r(&pw, big.data(), big.size(), &pres), 0);
  EXPECT_EQ(record_line(pw), user_lines()[1]);  // bob, not ghost

  struct group gr, *gres = nullptr;
  setgrent();
  ASSERT_EQ(getgrent_r(&gr, big.data(), big.size(), &gres), 0);  // staff
  ASSERT_EQ(getgrent_r(&gr, big.data(), big.size(), &gres), 0);  // users
  ASSERT_EQ(getgrent_r(&gr, big.data(), 100000, &gres), ERANGE);  // crowd needs more
  ASSERT_EQ(getgrent_r(&gr, big.data(), big.size(), &gres), 0);
  EXPECT_STREQ(gr.gr_name, "crowd");
}

TEST_F(Glibc, GetgrentGrowsItsOwnBufferUntilTheLargeGroupFits) {
  setgrent();
  std::vector<std::string> names;
  size_t crowd_members = 0;
  while (struct group *g = getgrent()) {
    names.push_back(g->gr_name);
    if (names.back() == "crowd")
      while (g->gr_mem[crowd_members] != nullptr) ++crowd_members;
  }
  EXPECT_EQ(names, (std::vector<std::string>{"staff", "users", "crowd", "high", "wheel"}));
  EXPECT_EQ(crowd_members, 50000u);
}

TEST_F(Glibc, LookupInTheMiddleOfAnEnumerationMakesItStartOver) {
  setpwent();
  ASSERT_NE(getpwent(), nullptr);
  ASSERT_NE(getpwent(), nullptr);
  struct passwd *bob = getpwnam("bob");
  ASSERT_NE(bob, nullptr);
  EXPECT_EQ(bob->pw_uid, 1001u);
  struct passwd *next = getpwent();
  ASSERT_NE(next, nullptr);
  EXPECT_STREQ(next->pw_name, "alice");
}

// Keyed lookups through glibc, with index files beside the maps and without.
class GlibcLookup : public Glibc, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    Glibc::SetUp();
    std::string pmap = dir->file("passwd"), gmap = dir->file("group");
    for (const char *suffix : {".ixname", ".ixuid", ".ixgid"}) {
      unlink((pmap + suffix).c_str());
      unlink((gmap + suffix).c_str());
    }
    if (GetParam()) {
      write_indexes(pmap, Db::Passwd);
      write_indexes(gmap, Db::Group);
    }
  }
  bool indexed() const { return GetParam(); }
};

INSTANTIATE_TEST_SUITE_P(Indexes, GlibcLookup, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool> &i) {
                           return i.param ? "WithIndexes" : "WithoutIndexes";
                         });

TEST_P(GlibcLookup, NonReentrantLookupsFindEveryRecordIncludingLargeOnes) {
  const auto users = user_lines();
  for (const auto &[name, uid, line] : std::vector<std::tuple<std::string, uid_t, std::string>>{
           {"alice", 1000, users[0]}, {"big", 1003, users[3]},
           {"high", 4000000000u, users[4]}, {"zero", 0, users[5]}}) {
    struct passwd *p = getpwnam(name.c_str());
    ASSERT_NE(p, nullptr) << name;
    EXPECT_EQ(record_line(*p), line);
    p = getpwuid(uid);
    ASSERT_NE(p, nullptr) << uid;
    EXPECT_EQ(record_line(*p), line);
  }
  const auto groups = group_lines();
  for (const auto &[name, gid, line] : std::vector<std::tuple<std::string, gid_t, std::string>>{
           {"staff", 100, groups[0]}, {"crowd", 2000, groups[2]},
           {"high", 4294967294u, groups[3]}, {"wheel", 0, groups[4]}}) {
    struct group *g = getgrnam(name.c_str());
    ASSERT_NE(g, nullptr) << name;
    EXPECT_TRUE(record_line(*g) == line) << name;
    g = getgrgid(gid);  // glibc grows its buffer to the module's 1 MiB minimum
    ASSERT_NE(g, nullptr) << gid;
    EXPECT_TRUE(record_line(*g) == line) << gid;
  }
}

TEST_P(GlibcLookup, AbsentKeysAreNotFoundWithoutError) {
  std::vector<char> buf(1 << 20);
  struct passwd pw, *pres = &pw;
  EXPECT_EQ(getpwnam_r("Alice", &pw, buf.data(), buf.size(), &pres), 0);  // bytes, not case
  EXPECT_EQ(pres, nullptr);
  EXPECT_EQ(getpwuid_r(4242, &pw, buf.data(), buf.size(), &pres), 0);
  EXPECT_EQ(pres, nullptr);
  struct group gr, *gres = &gr;
  EXPECT_EQ(getgrnam_r("nogroup", &gr, buf.data(), buf.size(), &gres), 0);
  EXPECT_EQ(gres, nullptr);
  EXPECT_EQ(getgrgid_r(4242, &gr, buf.data(), buf.size(), &gres), 0);
  EXPECT_EQ(gres, nullptr);
}

TEST_P(GlibcLookup, ReentrantLookupsReportERangeForSmallBuffersThenSucceed) {
  std::vector<char> buf(1 << 20);
  struct passwd pw, *pres = &pw;
  EXPECT_EQ(getpwnam_r("big", &pw, buf.data(), 1024, &pres), ERANGE);
  EXPECT_EQ(pres, nullptr);
  EXPECT_EQ(getpwuid_r(1003, &pw, buf.data(), 1024, &pres), ERANGE);
  ASSERT_EQ(getpwnam_r("big", &pw, buf.data(), 8192, &pres), 0);
  ASSERT_EQ(pres, &pw);
  EXPECT_EQ(pw.pw_gecos, kBigGecos);
  ASSERT_EQ(getpwuid_r(1003, &pw, buf.data(), 8192, &pres), 0);
  EXPECT_STREQ(pw.pw_name, "big");

  struct group gr, *gres = &gr;
  EXPECT_EQ(getgrnam_r("crowd", &gr, buf.data(), 4096, &gres), ERANGE);
  ASSERT_EQ(getgrnam_r("crowd", &gr, buf.data(), buf.size(), &gres), 0);
  EXPECT_STREQ(gr.gr_mem[49999], "m49999");
  // Below the 1 MiB minimum a lookup by gid asks for more even for a small group.
  EXPECT_EQ(getgrgid_r(100, &gr, buf.data(), buf.size() - 1, &gres), ERANGE);
  ASSERT_EQ(getgrgid_r(100, &gr, buf.data(), buf.size(), &gres), 0);
  EXPECT_EQ(record_line(gr), group_lines()[0]);
}

TEST_P(GlibcLookup, FreshIndexDecidesWhatExists) {
  // A fresh name index without "ghost": through the index the user is not
  // found although the map holds it; without indexes the scan finds it.
  std::string pmap = dir->file("passwd");
  if (indexed()) {
    auto entries = map_entries(read_file(pmap), Db::Passwd, Key::Name);
    std::erase_if(entries, [](const IndexEntry &e) { return e.key == "ghost"; });
    write_file(pmap + ".ixname", index_bytes(entries));
    set_mtime(pmap + ".ixname", time(nullptr) + 10);
  }
  struct passwd *p = getpwnam("ghost");
  if (indexed()) {
    EXPECT_EQ(p, nullptr);
  } else {
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->pw_uid, 1002u);
  }
  EXPECT_NE(getpwuid(1002), nullptr);  // the uid index still has it
}

}  // namespace
}  // namespace vesk_test
