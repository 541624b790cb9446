// Safe replacement: a map that changes while it is read, or a write that
// fails, leaves the old indexes as they were and no temporary file behind.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core/index_tool.h"
#include "test_support.h"
#include "tool_runner.h"

namespace vesk_test {
namespace {

struct Maps {
  TempDir dir;
  std::string passwd = dir.file("passwd.vesk");
  std::string group = dir.file("group.vesk");
  Maps() {
    std::string p, g;
    for (int i = 0; i < 200; ++i) {
      p += "user" + std::to_string(i) + ":x:" + std::to_string(5000 + i) + ":30000::/home:/bin/sh\n";
      g += "group" + std::to_string(i) + ":x:" + std::to_string(5000 + i) + ":a,b,c,d,e\n";
    }
    write_file(passwd, p);
    write_file(group, g);
  }
  std::vector<std::string> indexes() const {
    return {read_file(passwd + ".ixname"), read_file(passwd + ".ixuid"),
            read_file(group + ".ixname"), read_file(group + ".ixgid")};
  }
};

// Old indexes that differ from what a fresh build would write.
void write_old_indexes(const Maps &m) {
  write_file(m.passwd + ".ixname", index_bytes({{"old", 0}}));
  write_file(m.passwd + ".ixuid", index_bytes({{"1", 0}}));
  write_file(m.group + ".ixname", index_bytes({{"old", 0}}));
  write_file(m.group + ".ixgid", index_bytes({{"1", 0}}));
}

struct Change {
  const char *what;
  void (*apply)(const std::string &map);
};

TEST(ToolReplace, MapChangedWhileReadLeavesOldIndexesAndNoTemporaryFile) {
  const Change changes[] = {
      {"grown", [](const std::string &map) {
         write_file(map, read_file(map) + "late:x:9:9::/:/bin/sh\n");
       }},
      {"same size, new time", [](const std::string &map) {
         std::string content = read_file(map);
         content[0] = 'U';
         write_file(map, content);
         set_mtime(map, time(nullptr) + 10);
       }},
      {"replaced by a copy", [](const std::string &map) {
         struct stat st;
         ASSERT_EQ(stat(map.c_str(), &st), 0);
         write_file(map + ".new", read_file(map));
         struct timespec times[2] = {st.st_atim, st.st_mtim};
         ASSERT_EQ(utimensat(AT_FDCWD, (map + ".new").c_str(), times, 0), 0);
         ASSERT_EQ(rename((map + ".new").c_str(), map.c_str()), 0);
       }},
  };
  for (const Change &change : changes) {
    SCOPED_TRACE(change.what);
    Maps m;
    write_old_indexes(m);
    std::vector<std::string> before = m.indexes();
    std::vector<std::string> names = dir_names(m.dir.path);

    vesk::tool::BuildOptions options;
    options.passwd_map = m.passwd;
    options.group_map = m.group;
    const Change *hook_change = &change;
    options.after_read = [](const std::string &map, void *arg) {
      static_cast<const Change *>(arg)->apply(map);
    };
    options.hook_arg = const_cast<Change *>(hook_change);
    testing::internal::CaptureStderr();
    int status = vesk::tool::run_build(options);
    std::string err = testing::internal::GetCapturedStderr();

    EXPECT_EQ(status, 2);
    EXPECT_NE(err.find(m.passwd + ": the map changed while it was read; indexes left as they were"),
              std::string::npos)
        << err;
    EXPECT_EQ(m.indexes(), before);
    EXPECT_EQ(dir_names(m.dir.path), names);
  }
}

TEST(ToolReplace, FailedWritesLeaveOldIndexesAndNoTemporaryFile) {
  Maps m;
  write_old_indexes(m);
  std::vector<std::string> before = m.indexes();
  std::vector<std::string> names = dir_names(m.dir.path);

  // Files may not grow past 1 KiB: the first index can't be written.
  ToolRun run = run_tool({"build", "--passwd", m.passwd, "--group", m.group}, {1024, 022});
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("File too large; indexes left as they were"), std::string::npos) << run.err;
  EXPECT_EQ(m.indexes(), before);
  EXPECT_EQ(dir_names(m.dir.path), names);

  // An index path that is a directory: the rename fails.
  unlink((m.group + ".ixgid").c_str());
  ASSERT_EQ(mkdir((m.group + ".ixgid").c_str(), 0755), 0);
  write_file(m.group + ".ixgid/keep", "");
  run = run_tool({"build", "--passwd", m.passwd, "--group", m.group});
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("can't replace " + m.group + ".ixgid"), std::string::npos) << run.err;
  EXPECT_EQ(dir_names(m.dir.path), names);
  // The passwd indexes were written all the same.
  EXPECT_EQ(read_file(m.passwd + ".ixuid"),
            index_bytes(map_entries(read_file(m.passwd), Db::Passwd, Key::Id)));
}

TEST(ToolReplace, CommandLine) {
  Maps m;
  // Configuration files: a typo must stop the run, never turn a rule off.
  auto config = [&m](const char *name, const std::string &text) {
    write_file(m.dir.file(name), text);
    return m.dir.file(name);
  };
  const std::string section = config("section.conf", "[polcy]\n");
  const std::string key = config("key.conf", "[policy]\nmin_uid = 1000\nmin_giid = 5\n");
  const std::string twice = config("twice.conf", "[policy]\nmin_uid = 1\n\nmin_uid = 2\n");
  const std::string value = config("value.conf", "[policy]\nallow_gid = 100, x27\n");
  const std::string low = config("low.conf", "[policy]\nmin_uid = 6000\n");
  struct {
    std::vector<std::string> args;
    int status;
    const char *said;
  } const cases[] = {
      {{}, 2, "no command given"},
      {{"frob"}, 2, "unknown command: frob"},
      {{"build", "--passwd"}, 2, "--passwd needs a map path"},
      {{"check", "--strict"}, 2, "unknown option for check: --strict"},
      {{"build", "--passwd="}, 2, "empty map path"},
      {{"--help"}, 0, "Usage: vesk-index build [--passwd MAP] [--group MAP] [--keys MAP] [--strict]"},
      {{"--version"}, 0, "vesk-index (nss-vesk) "},
      {{"build", "--passwd", m.passwd, "--group", m.dir.file("none")}, 2,
       "none: No such file or directory"},
      {{"check", "--passwd", m.dir.file("none"), "--group", m.group}, 2,
       "none: No such file or directory"},
      {{"build", "--config", section}, 2, "section.conf:1: unknown section [polcy]"},
      {{"install", "--config", key}, 2, "key.conf:3: unknown key \"min_giid\" in [policy]"},
      {{"check", "--config", twice}, 2, "twice.conf:4: \"min_uid\" given twice"},
      {{"check", "--config", value}, 2, "value.conf:2: allow_gid: not a list of ids"},
      {{"check", "--config", m.dir.file("none.conf")}, 2, "none.conf: No such file or directory"},
      {{"check", "--min-uid", "x"}, 2, "--min-uid: not an id: x"},
      // The configuration's minimum applies.
      {{"check", "--config", low, "--passwd", m.passwd, "--group", m.group}, 1,
       "uid 5000 is below the minimum 6000"},
  };
  for (const auto &c : cases) {
    ToolRun run = run_tool(c.args);
    EXPECT_EQ(run.status, c.status) << c.said;
    EXPECT_NE((run.out + run.err).find(c.said), std::string::npos) << run.out << run.err;
  }
  // The command line's minimum wins over the configuration's.
  ToolRun run = run_tool({"check", "--config", low, "--min-uid", "5000", "--passwd", m.passwd,
                          "--group", m.group});
  EXPECT_EQ(run.err.find("below the minimum"), std::string::npos) << run.err;
  // The map that exists was indexed despite the missing one.
  EXPECT_EQ(read_file(m.passwd + ".ixname"),
            index_bytes(map_entries(read_file(m.passwd), Db::Passwd, Key::Name)));
}

}  // namespace
}  // namespace vesk_test
