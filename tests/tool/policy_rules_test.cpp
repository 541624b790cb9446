// The content policy's rules for what stock programs do with names and ids:
// the name rule, names differing from local ones only in letter case,
// reserved names, systemd's id ranges, control characters, and the
// configuration keys that relax or change them.  Each case stages one line
// beside a clean map and installs it; the local accounts are this system's
// own /etc/passwd and /etc/group (root, the sudo group).
#include <gtest/gtest.h>

#include <algorithm>

#include "test_support.h"
#include "tool_runner.h"

namespace vesk_test {
namespace {

std::string clean_users() {
  std::string map;
  for (int i = 0; i < 10; ++i)
    map += "u" + std::to_string(i) + ":*:" + std::to_string(200000 + i) + ":30000::/home/u" +
           std::to_string(i) + ":/bin/sh\n";
  return map;
}
const char kCleanGroups[] = "g0:*:30000:u1\ng1:*:30001:u2\ng2:*:30002:\ng3:*:30003:u3\n";

struct Case {
  const char *what;
  bool group;        // a line of the group map, else of the passwd map
  std::string line;  // added after the clean records
  std::string config;  // the [policy] section's lines, if any
  const char *said;  // after "left out: "; "" when the line is kept
};

// Installs the case's line; checks it is left out with the reason given,
// or kept byte for byte.
void expect_outcome(const Case &c) {
  SCOPED_TRACE(c.what);
  TempDir dir;
  std::string passwd = dir.file("passwd.vesk"), group = dir.file("group.vesk");
  std::string clean = c.group ? kCleanGroups : clean_users();
  write_file(passwd, clean_users());
  write_file(group, kCleanGroups);
  std::string staged = clean + c.line + "\n";
  write_file((c.group ? group : passwd) + ".new", staged);
  std::vector<std::string> args = {"install", "--passwd", passwd, "--group", group};
  if (!c.config.empty()) {
    write_file(dir.file("conf"), "[policy]\n" + c.config + "\n");
    args.insert(args.end(), {"--config", dir.file("conf")});
  }
  ToolRun run = run_tool(args);
  if (*c.said == '\0') {
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(read_file(c.group ? group : passwd), staged);
    return;
  }
  EXPECT_EQ(run.status, 3) << run.err;
  std::string where = std::string(c.group ? "group" : "passwd") + ".vesk.new:" +
                      std::to_string(c.group ? 5 : 11) + ": left out: ";
  EXPECT_NE(run.err.find(where), std::string::npos) << run.err;
  EXPECT_NE(run.err.find(c.said), std::string::npos) << run.err;
  EXPECT_EQ(read_file(c.group ? group : passwd), clean);
}

const char kUpperCase[] = "name_regex = ^[A-Za-z_][A-Za-z0-9_.-]*$";

TEST(ToolPolicyRules, NamesAndIdsStockProgramsMisread) {
  const Case cases[] = {
      // The default name rule: what Debian's own tools create.
      {"upper case", false, "Mallory:*:200050:30000::/:/bin/sh", "", "user name \"Mallory\" breaks the name rule"},
      {"Cyrillic o", false, "ro\xd0\xbet:*:200051:30000::/:/bin/sh", "", "breaks the name rule"},
      {"zero-width space", false, "root\xe2\x80\x8b:*:200052:30000::/:/bin/sh", "", "breaks the name rule"},
      {"no-break space", true, "sudo\xc2\xa0:*:40000:u1", "", "group name \"sudo\xc2\xa0\" breaks the name rule"},
      {"backquotes", false, "`id`:*:200053:30000::/:/bin/sh", "", "breaks the name rule"},
      {"command substitution", false, "$(reboot):*:200054:30000::/:/bin/sh", "", "breaks the name rule"},
      {"semicolon", true, "a;b:*:40001:", "", "breaks the name rule"},
      {"a dotted name", false, "john.smith:*:200055:30000::/:/bin/sh", "", ""},
      {"a machine account", false, "host1$:*:200056:30000::/:/bin/sh", "", ""},
      {"a leading underscore", true, "_svc:*:40002:u1", "", ""},
      // Names compared with every local name ignoring case, users and groups alike.
      {"ROOT", false, "ROOT:*:200057:30000::/:/bin/sh", kUpperCase,
       "user name \"ROOT\" differs only in letter case from the local account \"root\""},
      {"SUDO", true, "SUDO:*:40003:u1", kUpperCase,
       "group name \"SUDO\" differs only in letter case from the local group \"sudo\""},
      {"a user named as a local group", false, "sudo:*:200058:30000::/:/bin/sh", "",
       "user name \"sudo\" is the name of the local group \"sudo\""},
      {"upper case allowed by name_regex", false, "Mallory:*:200059:30000::/:/bin/sh", kUpperCase, ""},
      // Names packages create later.
      {"gitlab", false, "gitlab:*:200060:30000::/:/bin/sh", "", "user name \"gitlab\" is reserved"},
      {"docker", true, "docker:*:40004:u1", "", "group name \"docker\" is reserved"},
      {"Docker, reserved ignoring case", true, "Docker:*:40005:u1", kUpperCase, "is reserved"},
      {"reserved_names replaced", false, "gitlab:*:200061:30000::/:/bin/sh", "reserved_names = none", ""},
      {"reserved_names extended", true, "corp-admins:*:40006:u1", "reserved_names = default corp-admins",
       "group name \"corp-admins\" is reserved"},
      {"the default list kept", true, "lxd:*:40007:u1", "reserved_names = default corp-admins", "is reserved"},
      // systemd's ranges.
      {"dynamic users", false, "dyn:*:61184:30000::/:/bin/sh", "", "uid 61184 lies in systemd's range for dynamic service users"},
      {"dynamic users' end", true, "dyn:*:65519:", "", "gid 65519 lies in systemd's range"},
      {"containers", false, "ctr:*:524288:30000::/:/bin/sh", "", "uid 524288 lies in systemd's range for containers' ids"},
      {"containers' end", false, "ctr:*:1879048191:30000::/:/bin/sh", "", "lies in systemd's range for containers"},
      {"primary gid in the containers' range", false, "ctr:*:200062:600000::/:/bin/sh", "",
       "primary gid 600000 lies in systemd's range for containers"},
      {"above the containers' range", false, "big:*:1879048192:30000::/:/bin/sh", "", ""},
      {"containers allowed", false, "ctr:*:600000:30000::/:/bin/sh", "allow_container_ids = yes", ""},
      // Control characters in the fields programs print.
      {"escape in the gecos", false, "esc:*:200063:30000:\x1b]0;owned\x07:/:/bin/sh", "",
       "the gecos holds the control character 0x1b"},
      {"C1 control in the gecos", false, "c1:*:200064:30000:\xc2\x9b" "2J:/:/bin/sh", "",
       "the gecos holds the control character 0xc2"},
      {"tab in the home", false, "tab:*:200065:30000::/home/\tx:/bin/sh", "",
       "the home directory holds the control character 0x09"},
      {"DEL in the shell", false, "del:*:200066:30000::/:/bin/sh\x7f", "", "the shell holds the control character 0x7f"},
      {"UTF-8 in the gecos", false, "utf:*:200067:30000:\xc3\x89milie \xc2\xa0Z:/:/bin/sh", "", ""},
  };
  for (const Case &c : cases) expect_outcome(c);
}

// "x" in a password field is accepted (stored maps rely on it) but check
// and install say, once for the map, what it means under PAM; the note is
// no problem and changes no exit status.
TEST(ToolPolicyRules, PasswordFieldXIsExplainedNotRefused) {
  TempDir dir;
  std::string passwd = dir.file("passwd.vesk"), group = dir.file("group.vesk");
  std::string with_x = clean_users() + "ux1:x:200080:30000::/:/bin/sh\nux2:x:200081:30000::/:/bin/sh\n";
  write_file(passwd, clean_users());
  write_file(group, kCleanGroups);
  ASSERT_EQ(run_tool({"build", "--passwd", passwd, "--group", group}).status, 0);
  write_file(passwd + ".new", with_x);
  for (const char *command : {"install", "check"}) {
    SCOPED_TRACE(command);
    ToolRun run = run_tool({command, "--passwd", passwd, "--group", group});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find(": note: 2 user(s) with \"x\" in the password field: PAM's account stage"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
  }
  EXPECT_EQ(read_file(passwd), with_x);
  write_file(passwd + ".new", clean_users());
  ToolRun run = run_tool({"install", "--passwd", passwd, "--group", group});
  EXPECT_EQ(run.err.find("note"), std::string::npos) << run.err;
}

// Configurations that would let a map grant privilege fail the run: nothing
// is installed, and the message names the key.
TEST(ToolPolicyRules, PrivilegedPrimaryGroupsCantBeAllowed) {
  const struct {
    std::vector<std::string> args;
    std::string config;
    const char *said;
  } cases[] = {
      {{"--allow-gid", "0"}, "", "allow_gid: gid 0"},
      {{"--allow-gid", "27"}, "", "allow_gid: gid 27 is the local group \"sudo\", which grants privilege"},
      {{}, "allow_gid = 100 27", "gid 27 is the local group \"sudo\""},
      {{}, "name_regex = ^[a-z(", "name_regex: "},
      {{}, "accept_new_local_members = maybe", "accept_new_local_members: not yes or no"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.said);
    TempDir dir;
    std::string passwd = dir.file("passwd.vesk"), group = dir.file("group.vesk");
    write_file(passwd, clean_users());
    write_file(group, kCleanGroups);
    write_file(passwd + ".new", clean_users() + "s:*:200070:27::/:/bin/sh\n");
    std::vector<std::string> args = {"install", "--passwd", passwd, "--group", group};
    args.insert(args.end(), c.args.begin(), c.args.end());
    if (!c.config.empty()) {
      write_file(dir.file("conf"), "[policy]\n" + c.config + "\n");
      args.insert(args.end(), {"--config", dir.file("conf")});
    }
    ToolRun run = run_tool(args);
    EXPECT_EQ(run.status, 2) << run.err;
    EXPECT_NE(run.err.find(c.said), std::string::npos) << run.err;
    EXPECT_EQ(read_file(passwd), clean_users());
  }
}

}  // namespace
}  // namespace vesk_test
