// vesk-index install: the guards against a broken export, what becomes of
// the staged file, one update at a time, and an install killed at any
// moment.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/index_tool.h"
#include "nss_vesk.h"
#include "test_support.h"
#include "tool_runner.h"

namespace vesk_test {
namespace {

std::string users(int from, int to, const std::string &comment = "") {
  std::string map;
  for (int i = from; i < to; ++i)
    map += "u" + std::to_string(i) + ":x:" + std::to_string(100000 + i) + ":30000:" + comment +
           ":/home/u" + std::to_string(i) + ":/bin/sh\n";
  return map;
}

// n groups, members u1,u2; the first `emptied` with `members` instead.
std::string groups(int n, int emptied = 0, const std::string &members = "") {
  std::string map;
  for (int j = 0; j < n; ++j)
    map += "g" + std::to_string(j) + ":x:" + std::to_string(20000 + j) + ":" +
           (j < emptied ? members : "u1,u2") + "\n";
  return map;
}

// Every file of a directory: name, bytes, mode and modification time.
struct FileState {
  std::string name, content;
  mode_t mode;
  int64_t mtime_ns;
  bool operator==(const FileState &) const = default;
};

std::vector<FileState> snapshot(const std::string &dir) {
  std::vector<FileState> files;
  for (const std::string &name : dir_names(dir)) {
    struct stat st;
    lstat((dir + "/" + name).c_str(), &st);
    files.push_back({name, read_file(dir + "/" + name), st.st_mode,
                     int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec});
  }
  return files;
}

// Maps of 10 users and 4 groups with their indexes.
struct Maps {
  TempDir dir;
  std::string passwd = dir.file("passwd.vesk");
  std::string group = dir.file("group.vesk");
  Maps() {
    write_file(passwd, users(0, 10));
    write_file(group, groups(4));
    EXPECT_EQ(run_tool({"build", "--passwd", passwd, "--group", group}).status, 0);
  }
  ToolRun install(std::vector<std::string> args = {}) const {
    args.insert(args.begin(), {"install", "--passwd", passwd, "--group", group});
    return run_tool(args);
  }
  int check() const { return run_tool({"check", "--passwd", passwd, "--group", group}).status; }
};

TEST(ToolInstall, GuardsAgainstBrokenExports) {
  struct {
    const char *what;
    std::string passwd_new;  // staged as passwd.vesk.new ("-": nothing staged)
    std::string group_new;
    std::vector<std::string> args;
    int status;
    const char *said;  // on stderr or stdout
    bool installed;
    std::string map = "-";  // the map installed, when not the staged one
  } const cases[] = {
      {"empty map", "", "-", {}, 1, "has no records, the current map has 10", false},
      {"empty map, --force", "", "-", {"--force"}, 0, "10 records before, 0 after", true},
      {"comments only", "# nothing\n\n", "-", {}, 1, "has no records", false},
      {"drop beyond the limit", users(0, 4), "-", {}, 1,
       "would remove 6 of the 10 records of the current map (60.0%), more than --max-drop 50%",
       false},
      {"drop within a higher limit", users(0, 4), "-", {"--max-drop", "60"}, 0,
       "10 records before, 4 after: 0 added, 6 removed, 0 changed", true},
      {"--force", users(0, 4), "-", {"--force"}, 0, "6 removed", true},
      {"problems, installed", users(0, 11) + "broken line\n", "-", {}, 3,
       "passwd.vesk.new:12: left out: has 1 field(s); a passwd line has 7", true, users(0, 11)},
      {"problems, --strict", users(0, 10) + "broken line\n", "-", {"--strict"}, 1,
       "1 problem(s) (--strict); nothing installed", false},
      {"--dry-run", users(5, 20, "new"), "-", {"--dry-run"}, 0,
       "10 records before, 15 after: 10 added, 5 removed, 5 changed (0 renumbered), 0 left out "
       "(dry run: nothing changed)",
       false},
      {"--dry-run of a refused map", "", "-", {"--dry-run"}, 1, "has no records", false},
      {"group refused: neither installed", users(0, 12), "", {}, 1, "group.vesk.new: has no records",
       false},
      {"both", users(0, 12), groups(5), {}, 0, "4 records before, 5 after: 1 added", true},
      // A group losing more than --max-drop of its members counts as
      // removed; members reordered or duplicated lose nothing.
      {"groups emptied", users(0, 10), groups(4, 3), {}, 1,
       "would remove 0 and take more than 50% of their members from 3 of the 4 records", false},
      {"one group emptied", users(0, 10), groups(4, 1), {}, 0,
       "1 changed (0 renumbered, 1 losing more than --max-drop of their members)", true},
      {"members halved", users(0, 10), groups(4, 4, "u2"), {}, 0, "4 changed (0 renumbered), 0 left out",
       true},
      {"members halved, --max-drop 40", users(0, 10), groups(4, 4, "u2"), {"--max-drop", "40"}, 1,
       "take more than 40% of their members from 4 of the 4 records", false},
      {"members reordered", users(0, 10), groups(4, 4, "u2,u1,u2"), {"--max-drop", "0"}, 0,
       "4 changed (0 renumbered), 0 left out", true},
  };
  // The current map is compared through its name index, or scanned when
  // it has none.
  for (bool indexed : {true, false})
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.what) + (indexed ? "" : ", no current index"));
    Maps m;
    if (!indexed) unlink((m.passwd + ".ixname").c_str());
    if (c.passwd_new != "-") write_file(m.passwd + ".new", c.passwd_new);
    if (c.group_new != "-") write_file(m.group + ".new", c.group_new);
    std::vector<FileState> before = snapshot(m.dir.path);
    ToolRun run = m.install(c.args);
    EXPECT_EQ(run.status, c.status) << run.out << run.err;
    EXPECT_NE((run.out + run.err).find(c.said), std::string::npos) << run.out << run.err;
    if (c.installed) {
      EXPECT_EQ(read_file(m.passwd), c.map == "-" ? c.passwd_new : c.map);
      EXPECT_EQ(access((m.passwd + ".new").c_str(), F_OK), -1) << "staged map not removed";
      EXPECT_EQ(m.check(), 0);
    } else {
      EXPECT_EQ(snapshot(m.dir.path), before) << "a refused install changed a file";
    }
  }
}

// Records that would grant privilege on a host are left out of the map put
// in place, each reported with the rule it breaks; the rest is installed
// byte for byte.  The local accounts are this system's own /etc/passwd and
// /etc/group (root, nobody, the sudo group 27).
TEST(ToolInstall, ContentPolicyLeavesOutRecordsThatWouldGrantPrivilege) {
  struct {
    const char *what;
    bool group;        // a line of the group map, else of the passwd map
    std::string line;  // added after the fixture's records
    std::vector<std::string> args;
    const char *said;  // after "left out: ", or the note for a kept line
    bool kept;
  } const cases[] = {
      {"empty password", false, "toor::100050:30000::/root:/bin/sh", {}, "empty password field", false},
      {"a hash", false, "h:$6$salt$c2FsdHNhbHQ:100051:30000::/:/bin/sh", {}, "the password field holds a hash", false},
      {"uid 0", false, "evil:x:0:0::/root:/bin/bash", {}, "uid 0 is below the minimum 1000", false},
      {"a local account's uid", false, "nb:x:65534:30000::/:/bin/sh", {},
       "uid 65534 is the id of the local account \"nobody\"", false},
      {"primary gid 0", false, "g0:x:100052:0::/:/bin/sh", {}, "primary gid 0 is below the minimum", false},
      {"primary gid of sudo", false, "s:x:100053:27::/:/bin/sh", {"--min-gid", "0"},
       "primary gid 27 is the gid of the local group \"sudo\"", false},
      {"primary gid allowed", false, "s:x:100053:100::/:/bin/sh", {"--allow-gid", "100"}, "", true},
      {"group gid 27", true, "wheel2:x:27:u1", {"--min-gid", "0"},
       "gid 27 is the id of the local group \"sudo\"", false},
      {"a local group's name", true, "sudo:x:40000:u1,u2", {}, "group name \"sudo\" is a local group", false},
      {"a local account's name", false, "root:x:100054:30000::/:/bin/sh", {},
       "user name \"root\" is a local account", false},
      {"no id", false, "none:x:4294967295:30000::/:/bin/sh", {}, "uid 4294967295 is reserved", false},
      {"16-bit no id", true, "none:x:65535:", {}, "gid 65535 is reserved", false},
      {"numeric name", false, "12345:x:100055:30000::/:/bin/sh", {}, "user name \"12345\" can't be a login name: it is fully numeric", false},
      {"a space in a name", false, "a b:x:100056:30000::/:/bin/sh", {}, "user name \"a b\" can't be a login name: it contains white space", false},
      {"minimum from the configuration", false, "low:x:5000:30000::/:/bin/sh", {"--min-uid", "6000"},
       "uid 5000 is below the minimum 6000", false},
      {"a local account as member", true, "g9:x:40001:root,u1", {},
       "lists the local account(s) \"root\"", true},
      // Lines a transfer garbles.
      {"CRLF", false, "cr:x:100057:30000::/:/bin/sh\r", {}, "ends in a carriage return", false},
      {"NUL", false, std::string("nul:x:100058:30000::/:/usr/sbin/no\0login", 38), {},
       "holds a NUL byte", false},
      {"eight fields", false, "long:x:100059:30000::/:/bin/sh:extra", {}, "has 8 field(s)", false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    for (bool strict : {false, true}) {
      Maps m;
      std::string clean = c.group ? groups(4) : users(0, 10);
      std::string staged = clean + c.line + "\n";
      write_file((c.group ? m.group : m.passwd) + ".new", staged);
      std::vector<std::string> args = c.args;
      if (strict) args.push_back("--strict");
      std::vector<FileState> before = snapshot(m.dir.path);
      ToolRun run = m.install(args);
      std::string where = std::string(c.group ? "group" : "passwd") + ".vesk.new:" +
                          std::to_string(c.group ? 5 : 11) + ": ";
      if (c.kept && *c.said == '\0') {
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(read_file(c.group ? m.group : m.passwd), staged);
        continue;
      }
      EXPECT_NE(run.err.find(where + (c.kept ? "" : "left out: ") + c.said), std::string::npos)
          << run.err;
      if (strict) {
        EXPECT_EQ(run.status, 1) << run.err;
        EXPECT_EQ(snapshot(m.dir.path), before) << "--strict installed";
        continue;
      }
      EXPECT_EQ(run.status, 3) << run.err;
      EXPECT_EQ(read_file(c.group ? m.group : m.passwd), c.kept ? staged : clean);
      if (!c.kept) {
        EXPECT_NE(run.out.find(", 1 left out"), std::string::npos) << run.out;
      }
      EXPECT_EQ(m.check(), c.kept ? 1 : 0);
    }
  }
  // build and check report what install would leave out, and change no map.
  Maps m;
  write_file(m.passwd, users(0, 10) + "evil:x:0:0::/root:/bin/bash\n");
  ToolRun run = run_tool({"build", "--passwd", m.passwd, "--group", m.group});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("passwd.vesk:11: refused: uid 0"), std::string::npos) << run.err;
  EXPECT_EQ(m.check(), 1);
  // A feed that marks every user uid 0 is refused whole.
  write_file(m.passwd + ".new", "a:x:0:0::/:/bin/sh\nb:x:0:0::/:/bin/sh\n");
  run = m.install();
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("has no records to serve (2 left out)"), std::string::npos) << run.err;
}

// What arrives as a staged file is not trusted: not its owner, not its
// mode, not a descriptor left open on it, not its type, not its last line.
TEST(ToolInstall, HostileStagedFiles) {
  Maps m;
  const std::string staged = m.passwd + ".new";
  struct stat st;
  if (geteuid() == 0) {
    // Owned by nobody, writable by all, and held open for writing.
    write_file(staged, users(0, 11));
    ASSERT_EQ(chown(staged.c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod(staged.c_str(), 0666), 0);
    int held = open(staged.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    ASSERT_GE(held, 0);
    EXPECT_EQ(m.install().status, 0);
    const char evil[] = "evil::0:0::/root:/bin/sh\n";
    EXPECT_EQ(write(held, evil, sizeof evil - 1), static_cast<ssize_t>(sizeof evil - 1));
    close(held);
    ASSERT_EQ(stat(m.passwd.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(read_file(m.passwd), users(0, 11));
    // A device node is refused without being opened.
    ASSERT_EQ(mknod(staged.c_str(), S_IFCHR | 0600, makedev(1, 3)), 0);
    ToolRun run = m.install();
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("is not a regular file"), std::string::npos) << run.err;
    unlink(staged.c_str());
  }
  // A FIFO: refused at once, never waited for.
  ASSERT_EQ(mkfifo(staged.c_str(), 0600), 0);
  ToolRun run = m.install();
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("is not a regular file"), std::string::npos) << run.err;
  unlink(staged.c_str());

  // A transfer cut inside its last line, and an export that renumbers
  // everyone: refused, nothing changed.
  std::string cut = users(0, 11);
  cut.resize(cut.size() - 12);
  std::string renumbered;
  for (int i = 0; i < 11; ++i)
    renumbered += "u" + std::to_string(i) + ":x:" + std::to_string(200000 + i) + ":30000::/home/u" +
                  std::to_string(i) + ":/bin/sh\n";
  for (const auto &[content, said] :
       {std::pair{cut, "does not end in a newline"},
        std::pair{renumbered, "would remove 0 and renumber 11 of the 11 records"}}) {
    write_file(staged, content);
    std::vector<FileState> before = snapshot(m.dir.path);
    run = m.install();
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_NE(run.err.find(said), std::string::npos) << run.err;
    EXPECT_EQ(snapshot(m.dir.path), before);
  }
  EXPECT_EQ(m.install({"--force"}).status, 0);
  EXPECT_EQ(read_file(m.passwd), renumbered);

  // The same map again changes no file, and the staged file is consumed.
  write_file(staged, renumbered);
  ASSERT_EQ(stat(m.passwd.c_str(), &st), 0);
  run = m.install();
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find("(unchanged)"), std::string::npos) << run.out;
  struct stat after;
  ASSERT_EQ(stat(m.passwd.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, st.st_ino);
  EXPECT_EQ(access(staged.c_str(), F_OK), -1);
}

// A map staged while an install runs is installed before it ends.
TEST(ToolInstall, MapStagedDuringARunIsInstalledByIt) {
  Maps m;
  write_file(m.passwd + ".new", users(0, 11));
  struct Hook {
    const Maps *m;
    bool staged = false;
  } hook{&m};
  vesk::tool::InstallOptions options;
  options.passwd_map = m.passwd;
  options.group_map = m.group;
  options.before_rename = [](const std::string &, void *arg) {
    Hook &h = *static_cast<Hook *>(arg);
    if (h.staged) return;
    h.staged = true;
    write_file(h.m->passwd + ".tmp", users(0, 12));
    rename((h.m->passwd + ".tmp").c_str(), (h.m->passwd + ".new").c_str());
  };
  options.hook_arg = &hook;
  testing::internal::CaptureStdout();
  EXPECT_EQ(vesk::tool::run_install(options), 0);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(read_file(m.passwd), users(0, 12)) << out;
  EXPECT_EQ(access((m.passwd + ".new").c_str(), F_OK), -1);
}

TEST(ToolInstall, StagedFilesAndLeftovers) {
  Maps m;
  TempDir elsewhere;
  // A map staged in another directory is copied, world-readable, and left
  // where it was.
  std::string source = elsewhere.file("export");
  write_file(source, users(0, 11));
  chmod(source.c_str(), 0600);
  ToolRun run = m.install({"--new-passwd", source});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, m.passwd + ": 10 records before, 11 after: 1 added, 0 removed, 0 changed "
                               "(0 renumbered), 0 left out\n");
  EXPECT_EQ(read_file(m.passwd), users(0, 11));
  EXPECT_EQ(read_file(source), users(0, 11));
  struct stat st;
  ASSERT_EQ(stat(m.passwd.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);

  // A symbolic link staged beside the map is refused and left as it is;
  // with --follow-symlinks the map becomes a plain file with the target's
  // content, and the link goes.
  write_file(source, users(0, 12));
  ASSERT_EQ(symlink(source.c_str(), (m.passwd + ".new").c_str()), 0);
  run = m.install();
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("passwd.vesk.new: is a symbolic link"), std::string::npos) << run.err;
  EXPECT_EQ(read_file(m.passwd), users(0, 11));
  EXPECT_EQ(m.install({"--follow-symlinks"}).status, 0);
  ASSERT_EQ(lstat(m.passwd.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(read_file(m.passwd), users(0, 12));
  EXPECT_EQ(access((m.passwd + ".new").c_str(), F_OK), -1);
  // A file named on the command line is never removed, not even the one
  // that is the current map's twin.
  run = m.install({"--new-passwd", source});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(read_file(source), users(0, 12));

  // Nothing staged is nothing to do; a named file that is missing is an error.
  run = m.install();
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.err.find("nothing staged"), std::string::npos) << run.err;
  run = m.install({"--new-group", elsewhere.file("missing")});
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("missing: No such file or directory"), std::string::npos) << run.err;
  // The current map named as the new one is not taken away.
  run = m.install({"--new-passwd", m.passwd});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(read_file(m.passwd), users(0, 12));

  // Temporary files of a killed run are recognised by name and removed by
  // the next run; other files stay.
  std::vector<std::string> names = dir_names(m.dir.path);
  for (std::string leftover : {".passwd.vesk.tmp-Ab12Cd", ".passwd.vesk.ixname.tmp-zzzzzz",
                               ".passwd.vesk.new.tmp-Qw12Er",
                               ".group.vesk.ixgid.tmp-000000"})
    write_file(m.dir.file(leftover), "x");
  for (std::string kept : {".passwd.vesk.tmp-Ab12Cd7", "passwd.vesk.tmp-Ab12Cd", ".other.tmp-Ab12Cd"}) {
    write_file(m.dir.file(kept), "x");
    names.push_back(kept);
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(run_tool({"build", "--passwd", m.passwd, "--group", m.group}).status, 0);
  EXPECT_EQ(dir_names(m.dir.path), names);
}

TEST(ToolInstall, OneUpdateAtATime) {
  Maps m;
  write_file(m.passwd + ".new", users(0, 11));
  int dir = open(m.dir.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_EQ(flock(dir, LOCK_EX), 0);  // as another run would hold it
  for (const char *command : {"install", "build"}) {
    ToolRun run = run_tool({command, "--passwd", m.passwd, "--group", m.group, "--no-wait"});
    EXPECT_EQ(run.status, 2) << command;
    EXPECT_NE(run.err.find("another vesk-index run is updating the maps here"), std::string::npos)
        << run.err;
  }
  // Without --no-wait it waits, then installs.
  pid_t pid = start_tool({"install", "--passwd", m.passwd, "--group", m.group});
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(read_file(m.passwd), users(0, 10));
  close(dir);
  EXPECT_EQ(wait_tool(pid), 0);
  EXPECT_EQ(read_file(m.passwd), users(0, 11));

  // Two installs of different maps at once: one of them wins, whole.
  TempDir elsewhere;
  const std::string a = users(0, 3000, "a"), b = users(0, 3000, "b");
  write_file(elsewhere.file("a"), a);
  write_file(elsewhere.file("b"), b);
  for (int round = 0; round < 5; ++round) {
    pid_t first = start_tool({"install", "--passwd", m.passwd, "--group", m.group,
                              "--new-passwd", elsewhere.file(round % 2 ? "a" : "b")});
    pid_t second = start_tool({"install", "--passwd", m.passwd, "--group", m.group,
                               "--new-passwd", elsewhere.file(round % 2 ? "b" : "a")});
    EXPECT_EQ(wait_tool(first), 0);
    EXPECT_EQ(wait_tool(second), 0);
    std::string map = read_file(m.passwd);
    EXPECT_TRUE(map == a || map == b);
    EXPECT_EQ(m.check(), 0);
  }
  EXPECT_EQ(dir_names(m.dir.path).size(), 6u) << "a temporary file was left";
}

// Between the renames of an install, every lookup answers for the old or
// the new map: a user in both is always found, and once the new map is in
// place every answer is the new map's.  The new map is older than the old
// indexes, so old indexes beside it would count as fresh.
TEST(ToolInstall, EveryStepAnswersForTheOldOrTheNewMap) {
  Maps m;
  write_file(m.passwd, users(0, 20, "old"));
  ASSERT_EQ(run_tool({"build", "--passwd", m.passwd, "--group", m.group}).status, 0);
  const std::string new_map = users(5, 25, "new");
  write_file(m.passwd + ".new", new_map);
  set_mtime(m.passwd + ".new", time(nullptr) - 100);

  struct Step {
    const Maps *m;
    std::string new_map;
    int steps = 0;
  } step{&m, new_map};
  auto verify = [](const std::string &, void *arg) {
    Step &st = *static_cast<Step *>(arg);
    ++st.steps;
    bool map_is_new = read_file(st.m->passwd) == st.new_map;
    _nss_vesk_setpwent_path(st.m->passwd.c_str());
    for (int i = 0; i < 25; ++i) {
      bool in_old = i < 20, in_new = i >= 5;
      std::string name = "u" + std::to_string(i);
      struct passwd pw;
      char buffer[1024];
      int err = 0;
      for (bool by_name : {true, false}) {
        SCOPED_TRACE(name + (by_name ? " by name" : " by uid") + " at step " +
                     std::to_string(st.steps));
        enum nss_status s =
            by_name ? _nss_vesk_getpwnam_r(name.c_str(), &pw, buffer, sizeof buffer, &err)
                    : _nss_vesk_getpwuid_r(100000 + i, &pw, buffer, sizeof buffer, &err);
        std::string gecos = s == NSS_STATUS_SUCCESS ? pw.pw_gecos : "";
        if (map_is_new) {
          EXPECT_EQ(s, in_new ? NSS_STATUS_SUCCESS : NSS_STATUS_NOTFOUND);
          EXPECT_EQ(gecos, in_new ? "new" : "");
        } else {
          EXPECT_EQ(s, in_old && in_new ? NSS_STATUS_SUCCESS : s);
          EXPECT_TRUE(s == NSS_STATUS_NOTFOUND || (gecos == "old" && in_old) ||
                      (gecos == "new" && in_new));
        }
      }
    }
    _nss_vesk_setpwent_path(NSS_VESK_PASSWD_MAP);
  };
  vesk::tool::InstallOptions options;
  options.passwd_map = m.passwd;
  options.group_map = m.group;
  options.before_rename = verify;
  options.hook_arg = &step;
  testing::internal::CaptureStdout();
  EXPECT_EQ(vesk::tool::run_install(options), 0);
  testing::internal::GetCapturedStdout();
  verify("", &step);
  EXPECT_EQ(step.steps, 4);  // two indexes, the map, and after
}

TEST(ToolInstall, KilledAtAnyMomentLeavesOldOrNewFilesAndARerunConverges) {
  Maps m;
  const int n = kSanitized ? 40000 : 300000;
  const std::string old_map = users(0, n, "old"), new_map = users(n / 10, n + n / 10, "new");
  const char *suffixes[] = {"", ".ixname", ".ixuid"};
  // Each generation's files, as build writes them.
  auto files_of = [&](const std::string &map) {
    write_file(m.passwd, map);
    EXPECT_EQ(run_tool({"build", "--passwd", m.passwd, "--group", m.group}).status, 0);
    std::vector<std::string> files;
    for (const char *suffix : suffixes) files.push_back(read_file(m.passwd + suffix));
    return files;
  };
  const std::vector<std::string> fresh = files_of(new_map), stale = files_of(old_map);
  auto restore_old = [&] {
    for (int k = 0; k < 3; ++k) write_file(m.passwd + suffixes[k], stale[k]);
    write_file(m.passwd + ".new", new_map);
  };

  // How long one install takes here, to spread the kills over it.
  restore_old();
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(m.install().status, 0);
  auto took = std::chrono::steady_clock::now() - t0;
  std::mt19937 rng(7);
  for (int round = 0; round < 18; ++round) {
    SCOPED_TRACE(round);
    restore_old();
    pid_t pid = start_tool({"install", "--passwd", m.passwd, "--group", m.group});
    std::this_thread::sleep_for(took * (rng() % 1000) / 900);
    // SIGKILL leaves temporary files for the next run to remove; SIGTERM
    // and SIGINT leave none at any step.
    int sig = round % 3 == 0 ? SIGKILL : round % 3 == 1 ? SIGTERM : SIGINT;
    kill(pid, sig);
    wait_tool(pid);
    if (sig != SIGKILL) {
      for (const std::string &name : dir_names(m.dir.path))
        EXPECT_NE(name[0], '.') << name << " left by signal " << sig;
    }
    // Each file whole, of one generation; the map new only after its
    // indexes.
    bool map_new = read_file(m.passwd) == fresh[0];
    for (int k = 0; k < 3; ++k) {
      std::string now = read_file(m.passwd + suffixes[k]);
      EXPECT_TRUE(now == fresh[k] || (!map_new && now == stale[k])) << suffixes[k];
    }
    ToolRun rerun = m.install();
    EXPECT_EQ(rerun.status, 0) << rerun.err;
    EXPECT_EQ(read_file(m.passwd), new_map);
    EXPECT_EQ(m.check(), 0);
    EXPECT_EQ(dir_names(m.dir.path).size(), 6u) << "a temporary or staged file was left";
  }
}

// Both maps go in as one set: a run killed between their renames (passwd
// new, group's indexes new, its map still old) is completed by the next
// install, which finds nothing staged.
TEST(ToolInstall, ASetKilledBetweenItsRenamesIsCompletedByTheNextRun) {
  for (const char *last : {".ixname", ""}) {  // killed before group's index, before group's map
    SCOPED_TRACE(last);
    Maps m;
    const std::string new_passwd = users(0, 12, "new"), new_group = groups(5);
    write_file(m.passwd + ".new", new_passwd);
    write_file(m.group + ".new", new_group);
    static std::string stop_at;
    stop_at = m.group + last;
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      vesk::tool::InstallOptions o;
      o.passwd_map = m.passwd;
      o.group_map = m.group;
      o.policy.local_passwd = o.policy.local_group = "";
      o.before_rename = [](const std::string &path, void *) {
        if (path == stop_at) _exit(9);
      };
      _exit(vesk::tool::run_install(o));
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 9) << status;
    EXPECT_EQ(read_file(m.passwd), new_passwd);
    EXPECT_NE(read_file(m.group), new_group);  // the set is mixed
    EXPECT_EQ(access((m.dir.path + "/.passwd.vesk.journal").c_str(), F_OK), 0);

    // The staged files are gone, as the kill came after their copies:
    // the journal completes the set.
    unlink((m.passwd + ".new").c_str());
    unlink((m.group + ".new").c_str());
    ToolRun rerun = m.install();
    EXPECT_EQ(rerun.status, 0) << rerun.err;
    EXPECT_NE(rerun.err.find("completed an interrupted install"), std::string::npos) << rerun.err;
    EXPECT_EQ(read_file(m.passwd), new_passwd);
    EXPECT_EQ(read_file(m.group), new_group);
    EXPECT_EQ(m.check(), 0);
    EXPECT_EQ(dir_names(m.dir.path).size(), 6u) << "a temporary file or the journal was left";
  }
}

}  // namespace
}  // namespace vesk_test
