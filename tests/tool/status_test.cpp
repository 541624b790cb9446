// vesk-index status: healthy exactly when lookups can use every index and
// the maps hold nothing the host's content policy refuses, judged by the
// same policy as every other command (configuration file and options).
#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "test_support.h"
#include "tool_runner.h"

namespace vesk_test {
namespace {

const char kPasswd[] =
    "alice:x:100000:100000:Alice:/home/alice:/bin/sh\n"
    "bob:x:600:100000:Bob:/home/bob:/bin/sh\n";
// A map group that lists a local account: kept, with a note.
const char kGroup[] = "devs:x:100000:alice,bob,root\n";

TEST(ToolStatus, HealthyExactlyWhenTheIndexesServeAndThePolicyAccepts) {
  struct Case {
    const char *what;
    std::string config;             // [policy] of the configuration file
    std::vector<std::string> args;  // status's own options
    void (*damage)(const std::string &passwd, const std::string &group);
    int status;
    const char *said;  // in status's output
    const char *usable;  // the prometheus lines of the two maps' indexes
  } const cases[] = {
      {"configured min_uid, a note", "[policy]\nmin_uid = 500\n", {}, nullptr, 0,
       "status: healthy", "passwd\"} 1|group\"} 1"},
      {"--min-uid applies", "", {"--min-uid", "500"}, nullptr, 0, "status: healthy",
       "passwd\"} 1|group\"} 1"},
      {"a refused record is served", "", {}, nullptr, 1,
       "serves 1 record(s) the content policy refuses", "passwd\"} 1|group\"} 1"},
      {"an index missing", "[policy]\nmin_uid = 500\n", {},
       [](const std::string &passwd, const std::string &) { unlink((passwd + ".ixuid").c_str()); },
       1, ".ixuid: missing", "passwd\"} 0|group\"} 1"},
      {"an index stale", "[policy]\nmin_uid = 500\n", {},
       [](const std::string &, const std::string &group) { set_mtime(group, time(nullptr) + 5); },
       1, "stale: the map was modified", "passwd\"} 1|group\"} 0"},
      {"an index disagrees", "[policy]\nmin_uid = 500\n", {},
       [](const std::string &passwd, const std::string &group) {
         write_file(passwd + ".ixname", read_file(group + ".ixname"));  // the other map's
       },
       1, ".ixname", "passwd\"} 0|group\"} 1"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    std::string passwd = dir.file("passwd.vesk"), group = dir.file("group.vesk");
    std::string config = dir.file("vesk-index.conf");
    write_file(passwd, kPasswd);
    write_file(group, kGroup);
    write_file(config, c.config);
    set_mtime(passwd, time(nullptr) - 100);
    set_mtime(group, time(nullptr) - 100);
    ToolRun built = run_tool({"build", "--passwd", passwd, "--group", group, "--min-uid", "500"});
    ASSERT_EQ(built.status, 1) << built.err;  // the note
    if (c.damage != nullptr) c.damage(passwd, group);
    std::vector<std::string> args = {"status", "--passwd", passwd, "--group", group, "--config",
                                     config, "--state-dir", dir.file("state")};
    args.insert(args.end(), c.args.begin(), c.args.end());
    ToolRun text = run_tool(args);
    EXPECT_EQ(text.status, c.status) << text.out << text.err;
    EXPECT_NE(text.out.find(c.said), std::string::npos) << text.out << text.err;
    args.insert(args.end(), {"--format", "prometheus"});
    ToolRun metrics = run_tool(args);
    std::string usable = c.usable;
    size_t bar = usable.find('|');
    EXPECT_NE(metrics.out.find("vesk_index_usable{map=\"" + usable.substr(0, bar)),
              std::string::npos) << metrics.out;
    EXPECT_NE(metrics.out.find("vesk_index_usable{map=\"" + usable.substr(bar + 1)),
              std::string::npos) << metrics.out;
  }
}

}  // namespace
}  // namespace vesk_test
