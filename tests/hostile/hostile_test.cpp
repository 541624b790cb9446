// Hostile files: every exported lookup and both enumerations run against a
// map or an index that is something other than a well-formed regular file.
// Each call must return one of the four statuses within the alarm (a hang
// kills the test), a SUCCESS record must be the one asked for, and
// descriptors and mappings must be back to their count afterwards.
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "nss_vesk.h"
#include "test_support.h"

using namespace vesk_test;

namespace {

const std::string kPasswd =
    "root:x:0:0:root:/root:/bin/bash\n"
    "malice:x:1002:100:Mallory:/home/malice:/bin/sh\n"
    "alice:x:1001:100:Alice:/home/alice:/bin/sh\n"
    "bob:x:1003:100:Bob:/home/bob:/bin/sh\n";
const std::string kGroup =
    "root:x:0:\n"
    "mstaff:x:102:malice\n"
    "staff:x:100:alice,bob\n"
    "wheel:x:10:bob\n";

// What the calls returned, for the expectations of each case.
struct Outcome {
  enum nss_status pwnam, pwuid, grnam, grgid;
  enum nss_status setpw, setgr;
  int pw_records = 0, gr_records = 0;  // records enumerated before the end
  enum nss_status pw_last = NSS_STATUS_SUCCESS, gr_last = NSS_STATUS_SUCCESS;
};

bool valid(enum nss_status s) {
  return s == NSS_STATUS_SUCCESS || s == NSS_STATUS_NOTFOUND || s == NSS_STATUS_UNAVAIL ||
         s == NSS_STATUS_TRYAGAIN;
}

class Hostile : public ::testing::Test {
 protected:
  TempDir dir;
  std::string pw = dir.file("passwd.vesk");
  std::string gr = dir.file("group.vesk");
  std::vector<char> buffer = std::vector<char>(NSS_VESK_GRGID_MIN_BUFLEN);

  void SetUp() override {
    alarm(kSanitized ? 120 : 30);  // a hang ends the test with SIGALRM
    write_file(pw, kPasswd);
    write_file(gr, kGroup);
    set_mtime(pw, 1700000000);
    set_mtime(gr, 1700000000);
    write_indexes(pw, Db::Passwd);
    write_indexes(gr, Db::Group);
    _nss_vesk_setpwent_path(pw.c_str());
    _nss_vesk_setgrent_path(gr.c_str());
    run_all(1024);  // warm up: stdio, locale, the loader
  }
  void TearDown() override {
    alarm(0);
    _nss_vesk_setpwent_path(NSS_VESK_PASSWD_MAP);
    _nss_vesk_setgrent_path(NSS_VESK_GROUP_MAP);
  }

  // Replaces `path` by something else.
  void make_fifo(const std::string &path) {
    unlink(path.c_str());
    ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
  }
  void make_dir(const std::string &path) {
    unlink(path.c_str());
    ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
  }
  void make_symlink(const std::string &path, const std::string &target) {
    unlink(path.c_str());
    ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
  }
  // An index with `content`, fresh with respect to its map.
  void write_index(const std::string &path, const std::string &content) {
    write_file(path, content);
    set_mtime(path, 1700000000);
  }

  // Every exported lookup and both enumerations to their end, with a buffer
  // of `buflen` bytes (at least the minimum for the lookup by gid).
  Outcome run_all(size_t buflen) {
    Outcome o;
    struct passwd p;
    struct group g;
    int err = 0;
    const size_t grgid_len = std::max(buflen, size_t{NSS_VESK_GRGID_MIN_BUFLEN});
    o.pwnam = _nss_vesk_getpwnam_r("alice", &p, buffer.data(), buflen, &err);
    check(o.pwnam, err, p.pw_name, "alice", p.pw_uid, 1001);
    o.pwuid = _nss_vesk_getpwuid_r(1001, &p, buffer.data(), buflen, &err);
    check(o.pwuid, err, p.pw_name, "alice", p.pw_uid, 1001);
    o.grnam = _nss_vesk_getgrnam_r("staff", &g, buffer.data(), buflen, &err);
    check(o.grnam, err, g.gr_name, "staff", g.gr_gid, 100);
    o.grgid = _nss_vesk_getgrgid_r(100, &g, buffer.data(), grgid_len, &err);
    check(o.grgid, err, g.gr_name, "staff", g.gr_gid, 100);

    o.setpw = _nss_vesk_setpwent();
    for (int i = 0; i < 1000; ++i) {
      o.pw_last = _nss_vesk_getpwent_r(&p, buffer.data(), buflen, &err);
      EXPECT_TRUE(valid(o.pw_last));
      if (o.pw_last != NSS_STATUS_SUCCESS) break;
      ++o.pw_records;
    }
    EXPECT_EQ(_nss_vesk_endpwent(), NSS_STATUS_SUCCESS);
    o.setgr = _nss_vesk_setgrent();
    for (int i = 0; i < 1000; ++i) {
      o.gr_last = _nss_vesk_getgrent_r(&g, buffer.data(), buflen, &err);
      EXPECT_TRUE(valid(o.gr_last));
      if (o.gr_last != NSS_STATUS_SUCCESS) break;
      ++o.gr_records;
    }
    EXPECT_EQ(_nss_vesk_endgrent(), NSS_STATUS_SUCCESS);
    return o;
  }

  static void check(enum nss_status s, int err, const char *name, const char *want_name,
                    unsigned id, unsigned want_id) {
    EXPECT_TRUE(valid(s)) << s;
    if (s == NSS_STATUS_SUCCESS) {
      EXPECT_STREQ(name, want_name);
      EXPECT_EQ(id, want_id);
    }
    if (s == NSS_STATUS_TRYAGAIN) {
      EXPECT_EQ(err, ERANGE);
    }
  }

  // Runs everything and checks that descriptors and mappings are back.
  Outcome run_clean(size_t buflen = 1024) {
    int fds = count_open_fds();
    int maps = count_mappings();
    Outcome o = run_all(buflen);
    EXPECT_EQ(count_open_fds(), fds);
    if (!kSanitized) {
      EXPECT_EQ(count_mappings(), maps);
    }
    return o;
  }

  void expect_all_found(const Outcome &o) {
    EXPECT_EQ(o.pwnam, NSS_STATUS_SUCCESS);
    EXPECT_EQ(o.pwuid, NSS_STATUS_SUCCESS);
    EXPECT_EQ(o.grnam, NSS_STATUS_SUCCESS);
    EXPECT_EQ(o.grgid, NSS_STATUS_SUCCESS);
    EXPECT_EQ(o.pw_records, 4);
    EXPECT_EQ(o.gr_records, 4);
  }

  void expect_all_unavail(const Outcome &o) {
    EXPECT_EQ(o.pwnam, NSS_STATUS_UNAVAIL);
    EXPECT_EQ(o.pwuid, NSS_STATUS_UNAVAIL);
    EXPECT_EQ(o.grnam, NSS_STATUS_UNAVAIL);
    EXPECT_EQ(o.grgid, NSS_STATUS_UNAVAIL);
    EXPECT_EQ(o.setpw, NSS_STATUS_UNAVAIL);
    EXPECT_EQ(o.setgr, NSS_STATUS_UNAVAIL);
    EXPECT_EQ(o.pw_last, NSS_STATUS_UNAVAIL);
    EXPECT_EQ(o.gr_last, NSS_STATUS_UNAVAIL);
  }

  std::vector<std::string> all_indexes() const {
    return {pw + ".ixname", pw + ".ixuid", gr + ".ixname", gr + ".ixgid"};
  }
};

// ---- something other than a regular file -------------------------------

// Each kind of non-file, made in place of `path`.
enum class Kind { Fifo, Directory, DevZero, Dangling, Loop };
const Kind kKinds[] = {Kind::Fifo, Kind::Directory, Kind::DevZero, Kind::Dangling, Kind::Loop};

std::string kind_name(Kind k) {
  switch (k) {
    case Kind::Fifo: return "fifo";
    case Kind::Directory: return "directory";
    case Kind::DevZero: return "/dev/zero";
    case Kind::Dangling: return "dangling symlink";
    case Kind::Loop: return "symlink loop";
  }
  return "?";
}

TEST_F(Hostile, IndexThatIsNotARegularFileFallsBackToTheScan) {
  for (Kind k : kKinds) {
    SCOPED_TRACE(kind_name(k));
    int n = 0;
    for (const std::string &ix : all_indexes()) {
      switch (k) {
        case Kind::Fifo: make_fifo(ix); break;
        case Kind::Directory: make_dir(ix); break;
        case Kind::DevZero: make_symlink(ix, "/dev/zero"); break;
        case Kind::Dangling: make_symlink(ix, dir.file("absent")); break;
        case Kind::Loop:
          make_symlink(ix, ix + ".loop");
          make_symlink(ix + ".loop", ix);
          break;
      }
      ++n;
    }
    expect_all_found(run_clean());
    for (const std::string &ix : all_indexes()) {
      rmdir(ix.c_str());
      unlink(ix.c_str());
    }
  }
}

TEST_F(Hostile, MapThatIsNotARegularFileIsUnavailable) {
  // The indexes stay: they are fresh and well formed, but the map they name
  // can't be read, so the search must not trust them either.
  for (Kind k : kKinds) {
    SCOPED_TRACE(kind_name(k));
    for (const std::string &map : {pw, gr}) {
      unlink(map.c_str());
      switch (k) {
        case Kind::Fifo: make_fifo(map); break;
        case Kind::Directory: make_dir(map); break;
        case Kind::DevZero: make_symlink(map, "/dev/zero"); break;
        case Kind::Dangling: make_symlink(map, dir.file("absent")); break;
        case Kind::Loop:
          make_symlink(map, map + ".loop");
          make_symlink(map + ".loop", map);
          break;
      }
    }
    Outcome o = run_clean();
    expect_all_unavail(o);
    for (const std::string &map : {pw, gr}) {
      rmdir(map.c_str());
      unlink(map.c_str());
      unlink((map + ".loop").c_str());
    }
  }
}

TEST_F(Hostile, FifoWithAWriterIsStillRefused) {
  // A FIFO that does have a writer would not block the open; it must still
  // not be read as a map (the data in it would be consumed from the writer).
  make_fifo(pw);
  int wfd = -1;
  std::thread opener([&] { wfd = open(pw.c_str(), O_WRONLY); });
  int rfd = open(pw.c_str(), O_RDONLY);  // lets the writer's open complete
  opener.join();
  ASSERT_GE(wfd, 0);
  ASSERT_EQ(write(wfd, kPasswd.data(), kPasswd.size()), static_cast<ssize_t>(kPasswd.size()));
  Outcome o = run_clean();
  EXPECT_EQ(o.pwnam, NSS_STATUS_UNAVAIL);
  EXPECT_EQ(o.setpw, NSS_STATUS_UNAVAIL);
  EXPECT_EQ(o.gr_records, 4);
  char c;
  EXPECT_EQ(read(rfd, &c, 1), 1) << "the module consumed the FIFO's data";
  close(wfd);
  close(rfd);
}

// ---- malformed indexes ------------------------------------------------

// Writes `content` as every index.
struct IndexCase {
  const char *what;
  std::string content;
};

TEST_F(Hostile, MalformedIndexesGiveAStatusAndNeverAWrongRecord) {
  std::string big(5000, 'k');
  const std::vector<IndexCase> cases = {
      {"empty", ""},
      {"one byte, a newline", "\n"},
      {"one byte, not a newline", "a"},
      {"one byte, a NUL", std::string(1, '\0')},
      {"no newline", std::string("alice\0" "40\0\0\0", 10) + std::string("staff\0" "40\0\0\0", 10)},
      {"first line as long as the file", std::string("alice\0" "40", 8) + std::string(40, '\0') + "\n"},
      {"first line longer than the records after it",
       std::string("0\0", 2) + std::string(60, '\0') + "\n" + std::string("1001\0" "72\0\n", 9)},
      {"key without its NUL", "alice7200000\nstaff1000000\n"},
      {"keys without NUL, one per page", big + "\n" + big + "\n"},
      {"only NULs", std::string(100, '\0')},
      {"only newlines", std::string(100, '\n')},
      {"a key and a NUL, no offset", std::string("alice\0\n", 7)},
      {"binary noise", std::string("\xff\x00\x01\n\x80\x7f\n\n", 8)},
  };
  for (const IndexCase &c : cases) {
    SCOPED_TRACE(c.what);
    for (const std::string &ix : all_indexes()) write_index(ix, c.content);
    Outcome o = run_clean();
    // A malformed index may make a lookup miss (NOTFOUND) but never return
    // another record (checked in run_all) or fail enumeration.
    EXPECT_EQ(o.pw_records, 4);
    EXPECT_EQ(o.gr_records, 4);
    EXPECT_NE(o.pwnam, NSS_STATUS_TRYAGAIN);
    EXPECT_NE(o.grgid, NSS_STATUS_TRYAGAIN);
  }
}

TEST_F(Hostile, IndexesWhoseSizeIsAWholeNumberOfPages) {
  // The mapping ends exactly at a page boundary: a search that reads one
  // byte too far faults here.  Records of 4096 bytes, and of 64 bytes in a
  // 4096-byte file whose last record lacks its NUL and its newline.
  std::string page_record = std::string("zzzz\0" "0", 6) + std::string(4096 - 7, '\0') + "\n";
  std::string small;
  for (int i = 0; i < 63; ++i) {
    char key[8];
    snprintf(key, sizeof key, "k%02d", i);
    std::string rec = std::string(key) + std::string(1, '\0') + "0";
    rec.resize(63, '\0');
    small += rec + "\n";
  }
  small += std::string(64, 'z');  // the last record: key bytes up to the end
  ASSERT_EQ(small.size(), 4096u);
  for (const std::string &content : {page_record, page_record + page_record, small}) {
    for (const std::string &ix : all_indexes()) write_index(ix, content);
    Outcome o = run_clean();
    EXPECT_EQ(o.pw_records, 4);
  }
  // "zzzz..." sorts after every other key: the search probes the last record.
  struct passwd p;
  int err = 0;
  EXPECT_TRUE(valid(_nss_vesk_getpwnam_r("zzzzzzzz", &p, buffer.data(), 1024, &err)));
}

TEST_F(Hostile, OffsetsThatNameNoLineStartAreNotTrusted) {
  // Index entries for alice/1001 and staff/100 with a chosen offset; the
  // lookup must fall back to the scan and find the right record, or miss.
  const size_t alice = kPasswd.find("alice:");
  const size_t staff = kGroup.find("staff:");
  struct Case {
    const char *what;
    std::string pw_offset, gr_offset;
  };
  const std::vector<Case> cases = {
      {"negative", "-1", "-57"},
      {"most negative", "-9223372036854775808", "-9223372036854775808"},
      {"enormous", "9223372036854775807", "9223372036854775807"},
      {"beyond 64 bits", "99999999999999999999999", "99999999999999999999999"},
      {"past the end", std::to_string(kPasswd.size() + 10), std::to_string(kGroup.size() + 10)},
      {"at the end", std::to_string(kPasswd.size()), std::to_string(kGroup.size())},
      // "malice:..." read from its second byte is a user "alice" with uid
      // 1002; "mstaff:..." read from its second byte a group "staff", gid 102.
      {"mid-line, on a name's tail", std::to_string(kPasswd.find("malice:") + 1),
       std::to_string(kGroup.find("mstaff:") + 1)},
      {"mid-line", std::to_string(alice + 3), std::to_string(staff + 2)},
      {"another record", "0", "0"},
      {"not a number", "x", "x"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    auto entry = [](const std::string &key, const std::string &offset) {
      std::string rec = key + std::string(1, '\0') + offset;
      rec.resize(40, '\0');
      return rec + "\n";
    };
    write_index(pw + ".ixname", entry("alice", c.pw_offset));
    write_index(pw + ".ixuid", entry("1001", c.pw_offset));
    write_index(gr + ".ixname", entry("staff", c.gr_offset));
    write_index(gr + ".ixgid", entry("100", c.gr_offset));
    expect_all_found(run_clean());
  }
}

// ---- hostile maps ---------------------------------------------------------

TEST_F(Hostile, HundredMegabyteLineWithoutNewline) {
  // Records, then 100 MB of one line without a newline, then nothing: no
  // buffer is ever sized by the line, and every call ends promptly.
  std::string huge(100u << 20, 'a');
  write_file(pw, kPasswd + "big:x:5:5:" + huge);
  write_file(gr, kGroup + "big:x:5:" + huge);
  set_mtime(pw, 1700000000);
  set_mtime(gr, 1700000000);
  // The indexes of the records before the line: their offsets are unchanged.
  write_index(pw + ".ixname", index_bytes(map_entries(kPasswd, Db::Passwd, Key::Name)));
  write_index(pw + ".ixuid", index_bytes(map_entries(kPasswd, Db::Passwd, Key::Id)));
  write_index(gr + ".ixname", index_bytes(map_entries(kGroup, Db::Group, Key::Name)));
  write_index(gr + ".ixgid", index_bytes(map_entries(kGroup, Db::Group, Key::Id)));
  huge.clear();
  huge.shrink_to_fit();
  Outcome o = run_clean();
  expect_all_found(o);  // through the index; enumeration stops at the line
  EXPECT_EQ(o.pw_last, NSS_STATUS_TRYAGAIN);
  EXPECT_EQ(o.gr_last, NSS_STATUS_TRYAGAIN);

  // Without indexes the scan reaches the line for a user that isn't there.
  for (const std::string &ix : all_indexes()) unlink(ix.c_str());
  struct passwd p;
  struct group g;
  int err = 0;
  EXPECT_EQ(_nss_vesk_getpwnam_r("nobody", &p, buffer.data(), 1024, &err), NSS_STATUS_TRYAGAIN);
  EXPECT_EQ(err, ERANGE);
  EXPECT_EQ(_nss_vesk_getgrgid_r(4242, &g, buffer.data(), buffer.size(), &err),
            NSS_STATUS_TRYAGAIN);
  EXPECT_EQ(err, ERANGE);
  EXPECT_EQ(_nss_vesk_getpwuid_r(1003, &p, buffer.data(), 1024, &err), NSS_STATUS_SUCCESS);
}

TEST_F(Hostile, HundredMegabyteLineFirst) {
  // The line comes first: a scan can't get past it with any buffer a caller
  // would offer, and enumeration says TRYAGAIN at once.
  std::string huge(100u << 20, 'a');
  write_file(pw, "big:x:5:5:" + huge + "\n" + kPasswd);
  huge.clear();
  huge.shrink_to_fit();
  for (const std::string &ix : all_indexes()) unlink(ix.c_str());
  int fds = count_open_fds();
  struct passwd p;
  int err = 0;
  EXPECT_EQ(_nss_vesk_getpwnam_r("alice", &p, buffer.data(), buffer.size(), &err),
            NSS_STATUS_TRYAGAIN);
  EXPECT_EQ(err, ERANGE);
  EXPECT_EQ(_nss_vesk_getpwent_r(&p, buffer.data(), 1024, &err), NSS_STATUS_TRYAGAIN);
  EXPECT_EQ(_nss_vesk_getpwent_r(&p, buffer.data(), 1024, &err), NSS_STATUS_TRYAGAIN);
  EXPECT_EQ(_nss_vesk_endpwent(), NSS_STATUS_SUCCESS);
  EXPECT_EQ(count_open_fds(), fds);
}

TEST_F(Hostile, NulBytesInTheMap) {
  // A line holding a NUL byte is read at most up to it (a line whose head
  // is not a whole record is skipped); the lines around it are unaffected,
  // whether reached by the scan or through an index.
  std::string map = std::string("ro\0ot:x:0:0:root:/root:/bin/bash\n", 33) +
                    "alice:x:1001:100:Alice:/home/alice:/bin/sh\n" +
                    std::string("bob:x:1003:100:B\0b:/home/bob:/bin/sh\n", 37) +
                    std::string("\0\0\0\0\n", 5) + "carol:x:1004:100::/:/bin/sh\n";
  std::string groups = std::string("staff:x:100:alice,b\0b\n", 22) + "wheel:x:10:bob\n" +
                       std::string("\0\n", 2) + "staff:x:100:alice\n";
  write_file(pw, map);
  write_file(gr, groups);
  set_mtime(pw, 1700000000);
  set_mtime(gr, 1700000000);
  for (const std::string &ix : all_indexes()) unlink(ix.c_str());
  Outcome o = run_clean();
  EXPECT_EQ(o.pwnam, NSS_STATUS_SUCCESS);  // the scan: no index for alice
  EXPECT_EQ(o.grnam, NSS_STATUS_SUCCESS);
  EXPECT_EQ(o.grgid, NSS_STATUS_SUCCESS);  // the second staff line
  EXPECT_GE(o.pw_records, 2);
  EXPECT_LE(o.pw_records, 3);
  // Index entries naming the lines with NULs.
  write_index(pw + ".ixname", index_bytes({{"bob", static_cast<int64_t>(map.find("bob:"))},
                                           {"carol", static_cast<int64_t>(map.find("carol:"))}}));
  write_index(gr + ".ixgid", index_bytes({{"100", 0}}));
  struct passwd p;
  struct group g;
  int err = 0;
  EXPECT_EQ(_nss_vesk_getgrgid_r(100, &g, buffer.data(), buffer.size(), &err), NSS_STATUS_SUCCESS);
  EXPECT_STREQ(g.gr_name, "staff");
  enum nss_status s = _nss_vesk_getpwnam_r("bob", &p, buffer.data(), 1024, &err);
  EXPECT_TRUE(s == NSS_STATUS_NOTFOUND || s == NSS_STATUS_SUCCESS) << s;
  if (s == NSS_STATUS_SUCCESS) {
    EXPECT_STREQ(p.pw_name, "bob");
  }
  EXPECT_EQ(_nss_vesk_getpwnam_r("carol", &p, buffer.data(), 1024, &err), NSS_STATUS_SUCCESS);
}

TEST_F(Hostile, CrlfLineEndings) {
  std::string map = kPasswd, groups = kGroup;
  for (std::string *s : {&map, &groups})
    for (size_t i = s->find('\n'); i != std::string::npos; i = s->find('\n', i + 2))
      s->insert(i, "\r");
  write_file(pw, map);
  write_file(gr, groups);
  set_mtime(pw, 1700000000);
  set_mtime(gr, 1700000000);
  write_indexes(pw, Db::Passwd);
  write_indexes(gr, Db::Group);
  expect_all_found(run_clean());
  for (const std::string &ix : all_indexes()) unlink(ix.c_str());
  expect_all_found(run_clean());
}

TEST_F(Hostile, MapWithoutAnyNewline) {
  write_file(pw, "alice:x:1001:100:Alice:/home/alice:/bin/sh");
  write_file(gr, "staff:x:100:alice,bob");
  for (const std::string &ix : all_indexes()) unlink(ix.c_str());
  Outcome o = run_clean();
  EXPECT_EQ(o.pwnam, NSS_STATUS_SUCCESS);
  EXPECT_EQ(o.grgid, NSS_STATUS_SUCCESS);
  EXPECT_EQ(o.pw_records, 1);
  EXPECT_EQ(o.gr_records, 1);
}

TEST_F(Hostile, TinyBuffers) {
  // Buffers of 0 and 1 byte against good files: TRYAGAIN/ERANGE, never a
  // write past the buffer (the sanitizers watch) and never a wrong record.
  for (size_t len : {size_t{0}, size_t{1}, size_t{7}}) {
    SCOPED_TRACE(len);
    struct passwd p;
    int err = 0;
    EXPECT_EQ(_nss_vesk_getpwnam_r("alice", &p, buffer.data(), len, &err), NSS_STATUS_TRYAGAIN);
    EXPECT_EQ(err, ERANGE);
    Outcome o = run_clean(len);
    EXPECT_EQ(o.pw_last, NSS_STATUS_TRYAGAIN);
  }
}

}  // namespace
