// vesk-index check: every kind of damage is found and described by what a
// lookup would do.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "test_support.h"
#include "tool_runner.h"

namespace vesk_test {
namespace {

const char kPasswd[] =
    "alice:x:100000:100000:Alice:/home/alice:/bin/sh\n"
    "bob:x:20000:100000:Bob:/home/bob:/bin/sh\n"
    "carol:x:3000:100000:Carol:/home/carol:/bin/sh\n"
    "dave:x:2000000000:100000:Dave:/home/dave:/bin/sh\n"
    "erin:x:55000:100000:Erin:/home/erin:/bin/sh\n";
const char kGroup[] = "devs:x:100000:alice,bob\nops:x:20000:carol\n";

struct Fixture {
  TempDir dir;
  std::string passwd = dir.file("passwd.vesk");
  std::string group = dir.file("group.vesk");
  Fixture() {
    write_file(passwd, kPasswd);
    write_file(group, kGroup);
    // Maps a little in the past, so a rewritten index is never older.
    set_mtime(passwd, time(nullptr) - 100);
    set_mtime(group, time(nullptr) - 100);
  }
  ToolRun run(const char *command) {
    return run_tool({command, "--passwd", passwd, "--group", group});
  }
};

std::vector<IndexEntry> entries(Key kind) { return map_entries(kPasswd, Db::Passwd, kind); }

IndexEntry *find(std::vector<IndexEntry> &list, const std::string &key) {
  for (IndexEntry &e : list)
    if (e.key == key) return &e;
  return nullptr;
}

struct Damage {
  const char *what;
  std::function<void(Fixture &)> apply;
  std::vector<std::string> said;  // "%s" stands for the passwd map's path
};

TEST(ToolCheck, FindsEachKindOfDamageAndSaysWhatLookupsDo) {
  const std::vector<Damage> damages = {
      {"missing index",
       [](Fixture &f) { unlink((f.passwd + ".ixuid").c_str()); },
       {"%s.ixuid: missing; lookups by uid fall back to a linear scan of the map"}},
      {"empty index",
       [](Fixture &f) { write_file(f.group + ".ixname", ""); },
       {".vesk.ixname: empty; lookups by name fall back to a linear scan of the map"}},
      {"stale index",
       [](Fixture &f) { set_mtime(f.passwd, time(nullptr) + 5); },
       {"%s.ixname: stale: the map was modified ",
        "%s.ixuid: stale", "lookups by uid fall back to a linear scan of the map"}},
      {"record length inconsistent",
       [](Fixture &f) {
         std::string bytes = index_bytes(entries(Key::Name));
         size_t len = bytes.find('\n') + 1;
         bytes.erase(2 * len - 2, 1);  // the second record loses a filler byte
         write_file(f.passwd + ".ixname", bytes);
       },
       {"%s.ixname: record 2: record length inconsistent",
        "lookups that meet this one fall back to a linear scan",
        "%s.ixname: record length inconsistent: the size"}},
      {"ids sorted numerically",
       [](Fixture &f) {
         std::vector<IndexEntry> list = entries(Key::Id);
         std::sort(list.begin(), list.end(), [](const IndexEntry &a, const IndexEntry &b) {
           return std::stol(a.key) < std::stol(b.key);
         });
         write_file(f.passwd + ".ixuid", index_bytes(list, false));
       },
       {"%s.ixuid: record 2: \"20000\" comes after record 1 (\"3000\") but sorts before it",
        "the ids are sorted numerically, but lookups compare them as strings",
        "%s:1: \"100000\" is in %s.ixuid, but the binary search misses it",
        "a lookup of it answers \"not found\" without scanning the map"}},
      {"offset at another user's line",
       [](Fixture &f) {
         std::vector<IndexEntry> list = entries(Key::Name);
         find(list, "alice")->offset = find(list, "bob")->offset;
         write_file(f.passwd + ".ixname", index_bytes(list));
       },
       {"%s.ixname: record 1: \"alice\" points at line 2 of the map, which holds \"bob\"; "
        "a lookup of \"alice\" falls back to a linear scan"}},
      {"offset inside a line",
       [](Fixture &f) {
         std::vector<IndexEntry> list = entries(Key::Name);
         find(list, "carol")->offset += 3;
         write_file(f.passwd + ".ixname", index_bytes(list));
       },
       {"\"carol\" points at byte ", "which is not the start of a record's line"}},
      {"map record absent from the index",
       [](Fixture &f) {
         std::vector<IndexEntry> list = entries(Key::Name);
         list.erase(list.begin() + 2);  // carol
         write_file(f.passwd + ".ixname", index_bytes(list));
       },
       {"%s:3: \"carol\" is absent from %s.ixname; a lookup of it answers \"not found\" "
        "without scanning the map"}},
  };
  for (const Damage &d : damages) {
    SCOPED_TRACE(d.what);
    Fixture f;
    ASSERT_EQ(f.run("build").status, 0);
    d.apply(f);
    ToolRun run = f.run("check");
    EXPECT_EQ(run.status, 1) << run.out << run.err;
    for (std::string text : d.said) {
      for (size_t at; (at = text.find("%s")) != std::string::npos;) text.replace(at, 2, f.passwd);
      EXPECT_NE(run.err.find(text), std::string::npos) << "expected: " << text << "\n" << run.err;
    }
  }
}

TEST(ToolCheck, ReportsManyDamagedRecordsOnlyAFewTimes) {
  Fixture f;
  std::string map;
  for (int i = 0; i < 40; ++i)
    map += "u" + std::to_string(i) + ":*:" + std::to_string(20000 + i) + ":30000::/:/bin/sh\n";
  write_file(f.passwd, map);
  set_mtime(f.passwd, time(nullptr) - 100);
  write_file(f.passwd + ".ixname", index_bytes({{"u0", 0}}));
  ToolRun run = f.run("check");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("34 more record(s) missing from the index"), std::string::npos) << run.err;
  EXPECT_LT(std::count(run.err.begin(), run.err.end(), '\n'), 10) << run.err;
}

}  // namespace
}  // namespace vesk_test
