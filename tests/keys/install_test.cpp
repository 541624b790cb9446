// The keys map through vesk-index: install keeps a key only for a user the
// installed passwd map serves with that uid, never for a local account,
// never with an option not allowed; check and build agree with the command.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "keys_samples.h"
#include "test_support.h"

namespace {

using vesk_test::read_file;
using vesk_test::TempDir;
using vesk_test::write_file;

struct Result {
  int status = -1;
  std::string out;
};

// Runs `program` with `args`; stdout captured, stderr into *err.
Result run(const char *program, const std::vector<std::string> &args, std::string *err = nullptr) {
  TempDir tmp;
  std::string out_path = tmp.file("out"), err_path = tmp.file("err");
  pid_t pid = fork();
  if (pid == 0) {
    freopen(out_path.c_str(), "w", stdout);
    freopen(err_path.c_str(), "w", stderr);
    std::vector<char *> argv{const_cast<char *>(program)};
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(program, argv.data());
    _exit(127);
  }
  int status;
  waitpid(pid, &status, 0);
  Result r;
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.out = read_file(out_path);
  if (err != nullptr) *err = read_file(err_path);
  return r;
}

struct Host {
  TempDir dir;
  std::string passwd = dir.file("passwd.vesk"), group = dir.file("group.vesk"),
              keys = dir.file("sshkeys.vesk"),
              config = dir.file("vesk-index.conf");
  Host() {
    write_file(passwd, "alice:*:20001:20001::/home/alice:/bin/bash\n"
                       "bob:*:20002:20001::/home/bob:/bin/bash\n");
    write_file(group, "devs:*:20001:alice\n");
    write_file(config, "[keys]\nallow_options = no-pty, from\n");
  }
  std::vector<std::string> common() const {
    return {"--passwd", passwd, "--group", group, "--config", config, "--min-uid", "1000"};
  }
  Result tool(const std::string &command, std::vector<std::string> extra = {},
              std::string *err = nullptr) const {
    std::vector<std::string> args{command};
    for (const std::string &a : common()) args.push_back(a);
    for (const std::string &a : extra) args.push_back(a);
    return run(VESK_INDEX_TOOL, args, err);
  }
  std::string keys_of(const std::string &user, const std::string &uid) const {
    return run(VESK_AUTHORIZED_KEYS, {"--map", keys, user, uid}).out;
  }
};

const std::string kA = keys_test::kEd25519 + " a";
const std::string kB = keys_test::kEcdsa256 + " b";

TEST(KeysInstall, ServesOnlyUsersOfTheMapWithAllowedOptions) {
  Host h;
  struct {
    std::string line;
    bool kept;
    const char *reason_has;
  } table[] = {
      {"alice:20001:" + kA, true, ""},
      {"alice:20001:no-pty,from=\"10.0.0.0/8\" " + kB, true, ""},
      {"bob:20002:command=\"/bin/sh\" " + kA, false, "command"},
      {"bob:20002:environment=\"X=1\" " + kA, false, "environment"},
      {"bob:20009:" + kA, false, "uid 20009"},
      {"carol:20003:" + kA, false, "does not serve"},
      {"daemon:1:" + kA, false, "local account"},
      {"root:0:" + kA, false, "local account"},
      {"bob:20002:ssh-dss AAAAB3NzaC1kc3M=", false, "unknown key type"},
      {"bob 20002 " + kA, false, "USER:UID:KEY"},
  };
  std::string staged;
  for (const auto &t : table) staged += t.line + "\n";
  write_file(h.keys + ".new", staged);
  std::string err;
  Result r = h.tool("install", {"--allow-gid", "20001"}, &err);
  // The local accounts are the machine's own (/etc/passwd): root and
  // daemon are on every Debian host.
  EXPECT_EQ(r.status, 3) << err;
  std::string installed = read_file(h.keys);
  for (const auto &t : table) {
    EXPECT_EQ(installed.find(t.line + "\n") != std::string::npos, t.kept) << t.line;
    if (!t.kept) {
      EXPECT_NE(err.find(t.reason_has), std::string::npos) << t.line << "\n" << err;
    }
  }
  EXPECT_NE(err.find("sshkeys.vesk.new:8: key for local account root"), std::string::npos) << err;
  EXPECT_EQ(access((h.keys + ".new").c_str(), F_OK), -1);  // consumed
  EXPECT_EQ(h.keys_of("alice", "20001"), kA + "\nno-pty,from=\"10.0.0.0/8\" " + kB + "\n");
  EXPECT_EQ(h.keys_of("bob", "20002"), "");
  std::string check_err;
  ASSERT_EQ(h.tool("build", {"--allow-gid", "20001"}).status, 0);
  EXPECT_EQ(h.tool("check", {}, &check_err).status, 0) << check_err;
}

TEST(KeysInstall, ANewPasswdMapTakesTheKeysOfRemovedUsersAlong) {
  Host h;
  write_file(h.keys + ".new", "alice:20001:" + kA + "\nbob:20002:" + kB + "\n");
  ASSERT_EQ(h.tool("install", {"--allow-gid", "20001"}).status, 0);
  ASSERT_EQ(h.keys_of("bob", "20002"), kB + "\n");
  // bob leaves the passwd map; nothing new is staged for the keys map.
  write_file(h.passwd + ".new", "alice:*:20001:20001::/home/alice:/bin/bash\n");
  std::string err;
  EXPECT_EQ(h.tool("install", {"--allow-gid", "20001"}, &err).status, 3) << err;
  EXPECT_EQ(h.keys_of("bob", "20002"), "");
  EXPECT_EQ(h.keys_of("alice", "20001"), kA + "\n");
}

TEST(KeysInstall, GuardsAndStrict) {
  Host h;
  std::string many;
  for (int i = 0; i < 10; ++i) many += "alice:20001:" + kA + " " + std::to_string(i) + "\n";
  write_file(h.keys + ".new", many);
  ASSERT_EQ(h.tool("install", {"--allow-gid", "20001"}).status, 0);
  // Losing 9 of 10 keys is refused, and the staged map stays.
  write_file(h.keys + ".new", "alice:20001:" + kA + " 0\n");
  EXPECT_EQ(h.tool("install", {"--allow-gid", "20001"}).status, 1);
  EXPECT_EQ(read_file(h.keys), many);
  EXPECT_EQ(h.tool("install", {"--allow-gid", "20001", "--force"}).status, 0);
  EXPECT_EQ(h.keys_of("alice", "20001"), kA + " 0\n");
  // --strict: one refused line and nothing changes.
  write_file(h.keys + ".new", "alice:20001:" + kA + " 0\nalice:20001:command=\"x\" " + kA + "\n");
  EXPECT_EQ(h.tool("install", {"--allow-gid", "20001", "--strict"}).status, 1);
  EXPECT_EQ(h.keys_of("alice", "20001"), kA + " 0\n");
  // A symbolic link is not followed unless asked.
  unlink((h.keys + ".new").c_str());
  write_file(h.dir.file("elsewhere"), "alice:20001:" + kB + "\n");
  ASSERT_EQ(symlink(h.dir.file("elsewhere").c_str(), (h.keys + ".new").c_str()), 0);
  EXPECT_EQ(h.tool("install", {"--allow-gid", "20001"}).status, 1);
  EXPECT_EQ(h.keys_of("alice", "20001"), kA + " 0\n");
}

TEST(KeysInstall, BuildAndCheckJudgeAMapWrittenByHand) {
  Host h;
  write_file(h.keys, "alice:20001:" + kA + "\nbob:20002:" + kB + "\nalice:20001:" + kB + "\n");
  std::string err;
  EXPECT_EQ(h.tool("check", {}, &err).status, 1);  // no index yet
  EXPECT_NE(err.find("missing"), std::string::npos) << err;
  EXPECT_EQ(h.tool("build", {"--allow-gid", "20001"}, &err).status, 1);
  EXPECT_NE(err.find("sshkeys.vesk:3: keys of alice stand apart"), std::string::npos) << err;
  // The index covers alice's first block: what the command serves through
  // it is a part of what the map holds, never more.
  EXPECT_EQ(h.keys_of("alice", "20001"), kA + "\n");
  EXPECT_EQ(h.keys_of("bob", "20002"), kB + "\n");
  write_file(h.keys, "alice:20001:" + kA + "\nalice:20001:" + kB + "\nbob:20002:" + kB + "\n");
  EXPECT_EQ(h.tool("check", {}, &err).status, 1);  // the index is of the old map
  EXPECT_EQ(h.tool("build").status, 0);
  EXPECT_EQ(h.tool("check").status, 0);
  Result status = h.tool("status", {"--state-dir", h.dir.path});
  EXPECT_NE(status.out.find("keys: " + h.keys + ": 3 records"), std::string::npos) << status.out;
}

}  // namespace
