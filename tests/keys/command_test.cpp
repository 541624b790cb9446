// The command sshd runs: it prints exactly the map's keys of the user and
// uid asked for, through the index or, when the index can't be trusted,
// through a scan of the map, and nothing for anyone else.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "keys/keys_map.h"
#include "keys_samples.h"
#include "test_support.h"

namespace {

using vesk_test::TempDir;
using vesk_test::write_file;

struct CommandRun {
  int status = -1;
  std::string out, err;
};

std::string slurp(int fd) {
  std::string s;
  char buf[4096];
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) s.append(buf, static_cast<size_t>(n));
  close(fd);
  return s;
}

CommandRun run_command(const std::vector<std::string> &args) {
  int out[2], err[2];
  EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
  EXPECT_EQ(pipe2(err, O_CLOEXEC), 0);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    dup2(err[1], 2);
    std::vector<char *> argv{const_cast<char *>(VESK_AUTHORIZED_KEYS)};
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  CommandRun r;
  r.err = slurp(err[0]);  // small: read after stdout would not deadlock either
  r.out = slurp(out[0]);
  int status;
  waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

// Writes the index of `map` as the tool does.
void index_map(const std::string &map) {
  std::string text, error;
  struct stat st;
  ASSERT_TRUE(vesk::keys::read_file(map, &text, &st, &error)) << error;
  vesk::keys::KeysScan scan;
  vesk::keys::scan_keys(text.data(), text.size(), {}, &scan);
  vesk::tool::PendingIndex index;
  std::vector<vesk::tool::PendingIndex> pending(1);
  ASSERT_TRUE(vesk::keys::write_keys_index(scan, map, st.st_mtim, &pending[0], &error)) << error;
  ASSERT_TRUE(vesk::tool::commit(&pending, &error)) << error;
}

const std::string kA = keys_test::kEd25519 + " a";
const std::string kB = keys_test::kEcdsa256 + " b";
const std::string kC = keys_test::kRsa2048 + " c";

// Users whose names are prefixes of each other, several keys each.
const std::string kMap = "# keys\n"
                         "al:2000:" + kA + "\n"
                         "alice:2001:" + kA + "\n"
                         "alice:2001:" + kB + "\n"
                         "alice:2001:no-pty " + kC + "\n"
                         "alicea:2002:" + kB + "\n"
                         "bob:2003:" + kC + "\n";

struct Ask {
  const char *user;
  const char *uid;
  std::string keys;
};

const std::vector<Ask> kAsks = {
    {"alice", "2001", kA + "\n" + kB + "\n" + "no-pty " + kC + "\n"},
    {"al", "2000", kA + "\n"},
    {"alicea", "2002", kB + "\n"},
    {"bob", "2003", kC + "\n"},
    {"alice", "2000", ""},   // another account of that name: none of alice's keys
    {"alic", "2001", ""},    // unknown
    {"zed", "9", ""},        // unknown, above every key
    {"a", "9", ""},          // unknown, below every key
    {"alice:2001", "2001", ""},
};

void expect_answers(const std::string &map, const char *how) {
  for (const Ask &a : kAsks) {
    CommandRun r = run_command({"--map", map, a.user, a.uid});
    EXPECT_EQ(r.status, 0) << how << ": " << a.user << ": " << r.err;
    EXPECT_EQ(r.out, a.keys) << how << ": " << a.user << " " << a.uid;
  }
}

TEST(AuthorizedKeys, SameAnswerWithAndWithoutAGoodIndex) {
  TempDir dir;
  std::string map = dir.file("sshkeys.vesk");
  write_file(map, kMap);
  expect_answers(map, "no index");
  index_map(map);
  expect_answers(map, "fresh index");

  // An index older than its map is not used.
  std::string index = map + ".ixname";
  vesk_test::set_mtime(index, 1000000);
  vesk_test::set_mtime(map, 1000001);
  expect_answers(map, "stale index");

  // An index of another map: its entries point at the wrong lines.
  std::string other = dir.file("other.vesk");
  write_file(other, "x:1:" + kA + "\n" + kMap);
  index_map(other);
  ASSERT_EQ(rename((other + ".ixname").c_str(), index.c_str()), 0);
  expect_answers(map, "index of another map");

  // Not an index at all.
  write_file(index, "garbage without a newline");
  expect_answers(map, "garbage index");
  write_file(index, "");
  expect_answers(map, "empty index");
}

TEST(AuthorizedKeys, RemovedKeysAreGoneAtOnce) {
  TempDir dir;
  std::string map = dir.file("sshkeys.vesk");
  write_file(map, kMap);
  index_map(map);
  // The map is replaced in the same second as its index, without a new
  // index: the old index must not bring back bob's key.
  std::string smaller = "al:2000:" + kA + "\n" + "alice:2001:" + kB + "\n";
  write_file(map + ".tmp", smaller);
  struct stat st;
  ASSERT_EQ(stat((map + ".ixname").c_str(), &st), 0);
  vesk_test::set_mtime(map + ".tmp", st.st_mtime);
  ASSERT_EQ(rename((map + ".tmp").c_str(), map.c_str()), 0);
  EXPECT_EQ(run_command({"--map", map, "bob", "2003"}).out, "");
  std::string alice = run_command({"--map", map, "alice", "2001"}).out;
  EXPECT_EQ(alice.find(kA), std::string::npos) << alice;
  EXPECT_EQ(alice.find(kC), std::string::npos) << alice;
}

TEST(AuthorizedKeys, NoMapNoKeysAndUsage) {
  TempDir dir;
  CommandRun r = run_command({"--map", dir.file("none"), "alice", "2001"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  struct {
    std::vector<std::string> args;
    int status;
  } table[] = {
      {{"alice"}, 2},
      {{"alice", "x"}, 2},
      {{"alice", "-1"}, 2},
      {{"alice", "4294967296"}, 2},
      {{"--bogus", "alice", "1"}, 2},
      {{"--map", dir.path, "alice", "1"}, 1},  // a directory is no map
  };
  for (const auto &t : table) {
    CommandRun u = run_command(t.args);
    EXPECT_EQ(u.status, t.status) << t.args[0] << " " << u.err;
    EXPECT_EQ(u.out, "");
  }
}

}  // namespace
