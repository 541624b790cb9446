// getgrouplist() through glibc's name-service switch with the group
// database served by this module alone.  The binary does not link the
// module: glibc loads it by name from LD_LIBRARY_PATH, and the test reaches
// the path setter of that same loaded copy through dlopen/dlsym.
#include <dlfcn.h>
#include <grp.h>
#include <link.h>
#include <nss.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using vesk_test::TempDir;
using vesk_test::write_file;

void use_group_map(const std::string &path) {
  static void (*set_path)(const char *) = [] {
    EXPECT_EQ(__nss_configure_lookup("group", "vesk"), 0);
    __nss_configure_lookup("initgroups", "vesk");  // where glibc knows that database
    void *module = dlopen("libnss_vesk.so.2", RTLD_NOW);  // the copy glibc loads too
    EXPECT_NE(module, nullptr) << dlerror() << " (LD_LIBRARY_PATH must name " VESK_MODULE_DIR ")";
    if (module == nullptr) return static_cast<void (*)(const char *)>(nullptr);
    struct link_map *map = nullptr;
    char *found = dlinfo(module, RTLD_DI_LINKMAP, &map) == 0 ? realpath(map->l_name, nullptr) : nullptr;
    char *built = realpath(VESK_MODULE_PATH, nullptr);
    EXPECT_STREQ(found, built) << "another libnss_vesk.so.2 comes first in the search path";
    free(found);
    free(built);
    return reinterpret_cast<void (*)(const char *)>(dlsym(module, "_nss_vesk_setgrent_path"));
  }();
  ASSERT_NE(set_path, nullptr);
  set_path(path.c_str());
}

std::vector<gid_t> grouplist(const char *user, gid_t primary) {
  std::vector<gid_t> groups(4);
  int n = static_cast<int>(groups.size());
  if (getgrouplist(user, primary, groups.data(), &n) < 0) {  // too small: n is the count
    groups.resize(static_cast<size_t>(n));
    EXPECT_GE(getgrouplist(user, primary, groups.data(), &n), 0);
  }
  groups.resize(static_cast<size_t>(n));
  return groups;
}

TEST(InitgroupsThroughGlibc, GetgrouplistReturnsTheMapsGroups) {
  TempDir dir;
  std::string map = "# staff\nwheel:x:10:alice,bob\nal:x:11:al\nstaff:x:50:bob2,alice\n"
                    "users:x:100:alice\n  audio:x:63: alice\nbad:x:7x:alice\n";
  for (int g = 0; g < 20; ++g) map += "p" + std::to_string(g) + ":x:" + std::to_string(200 + g) + ":bob\n";
  write_file(dir.file("group"), map);
  use_group_map(dir.file("group"));

  EXPECT_EQ(grouplist("alice", 100), (std::vector<gid_t>{100, 10, 50, 63}));
  EXPECT_EQ(grouplist("al", 100), (std::vector<gid_t>{100, 11}));
  EXPECT_EQ(grouplist("nobody", 5), std::vector<gid_t>{5});
  std::vector<gid_t> bob = grouplist("bob", 10);  // more groups than the first array holds
  ASSERT_EQ(bob.size(), 21u);
  EXPECT_EQ(bob[0], 10u);
  for (int g = 0; g < 20; ++g) EXPECT_EQ(bob[static_cast<size_t>(g) + 1], static_cast<gid_t>(200 + g));
}

TEST(InitgroupsThroughGlibc, EnumerationKeepsItsPlace) {
  TempDir dir;
  write_file(dir.file("group"), "a:x:1:alice\nb:x:2:alice\nc:x:3:bob\nd:x:4:alice\n");
  use_group_map(dir.file("group"));
  std::vector<char> buf(4096);
  struct group g, *out = nullptr;
  std::vector<std::string> seen;
  setgrent();
  while (getgrent_r(&g, buf.data(), buf.size(), &out) == 0) {
    seen.push_back(g.gr_name);
    // Between two reads, as a login daemon's worker might.
    EXPECT_EQ(grouplist("alice", 9), (std::vector<gid_t>{9, 1, 2, 4}));
  }
  endgrent();
  EXPECT_EQ(seen, (std::vector<std::string>{"a", "b", "c", "d"}));
}

}  // namespace
