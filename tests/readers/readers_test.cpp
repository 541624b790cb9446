// The module's own line readers against glibc's fgetpwent_r / fgetgrent_r:
// the same records, field by field, the same failures, the same gr_mem
// placement, and the stream left at the same offset, at every buffer size
// around the one a record needs.
#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "map/line_reader.h"
#include "test_support.h"

namespace {

using vesk_test::TempDir;
using vesk_test::write_file;

enum class Kind { Passwd, Group };

// A buffer of `size` bytes starting `misalign` bytes past a 16-byte boundary.
struct Buffer {
  std::vector<char> storage;
  char *data;
  Buffer(size_t size, size_t misalign) : storage(size + misalign + 16) {
    uintptr_t base = reinterpret_cast<uintptr_t>(storage.data());
    data = reinterpret_cast<char *>((base + 15) / 16 * 16 + misalign);
  }
};

// What one call of a reader gave, as values that compare across buffers.
struct Outcome {
  int rc = 0;
  int err = 0;
  long long offset = 0;  // stream offset after the call
  std::vector<std::string> strings;  // "<null>" for a null pointer
  uint32_t uid = 0, gid = 0;
  long long mem_offset = -1;  // gr_mem relative to the buffer
  std::string problem;        // a string or array outside the buffer, ...
};

std::string describe(const Outcome &o) {
  std::string s = "rc=" + std::to_string(o.rc) + " errno=" + std::to_string(o.err) +
                  " at=" + std::to_string(o.offset);
  if (o.rc == 0) {
    s += " ids=" + std::to_string(o.uid) + "/" + std::to_string(o.gid) +
         " mem@" + std::to_string(o.mem_offset) + " [";
    for (const auto &f : o.strings) s += "<" + f + ">";
    s += "]";
  }
  return s + o.problem;
}

void PrintTo(const Outcome &o, std::ostream *os) { *os << describe(o); }

bool operator==(const Outcome &a, const Outcome &b) {
  return a.rc == b.rc && a.err == b.err && a.offset == b.offset && a.strings == b.strings &&
         a.uid == b.uid && a.gid == b.gid && a.mem_offset == b.mem_offset;
}

std::string field(const char *s, const Buffer &buf, size_t len, std::string &problem) {
  if (s == nullptr) return "<null>";
  if (s < buf.data || s >= buf.data + len) problem += " string outside the buffer";
  return s;
}

using PwReader = int (*)(FILE *, struct passwd *, char *, size_t, struct passwd **);
using GrReader = int (*)(FILE *, struct group *, char *, size_t, struct group **);

Outcome read_one(Kind kind, bool own, FILE *f, size_t len, size_t misalign) {
  Buffer buf(len, misalign);
  Outcome o;
  errno = 0;
  if (kind == Kind::Passwd) {
    PwReader reader = own ? vesk::own_fgetpwent_r : fgetpwent_r;
    struct passwd pw;
    struct passwd *out = &pw;
    o.rc = reader(f, &pw, buf.data, len, &out);
    o.err = errno;
    if (o.rc == 0) {
      if (out != &pw) o.problem += " *out is not the record";
      for (const char *s : {pw.pw_name, pw.pw_passwd, pw.pw_gecos, pw.pw_dir, pw.pw_shell})
        o.strings.push_back(field(s, buf, len, o.problem));
      o.uid = pw.pw_uid;
      o.gid = pw.pw_gid;
    } else if (out != nullptr) {
      o.problem += " *out not cleared";
    }
  } else {
    GrReader reader = own ? vesk::own_fgetgrent_r : fgetgrent_r;
    struct group gr;
    struct group *out = &gr;
    o.rc = reader(f, &gr, buf.data, len, &out);
    o.err = errno;
    if (o.rc == 0) {
      if (out != &gr) o.problem += " *out is not the record";
      o.strings.push_back(field(gr.gr_name, buf, len, o.problem));
      o.strings.push_back(field(gr.gr_passwd, buf, len, o.problem));
      o.gid = gr.gr_gid;
      char *mem = reinterpret_cast<char *>(gr.gr_mem);
      o.mem_offset = mem - buf.data;
      if (reinterpret_cast<uintptr_t>(mem) % alignof(char *) != 0) o.problem += " gr_mem unaligned";
      size_t n = 0;
      while (mem + (n + 1) * sizeof(char *) <= buf.data + len && gr.gr_mem[n] != nullptr) ++n;
      if (mem < buf.data || mem + (n + 1) * sizeof(char *) > buf.data + len) {
        o.problem += " gr_mem outside the buffer";
      } else {
        for (size_t i = 0; i < n; ++i) o.strings.push_back(field(gr.gr_mem[i], buf, len, o.problem));
      }
    } else if (out != nullptr) {
      o.problem += " *out not cleared";
    }
  }
  o.offset = ftello(f);
  // errno matters only on failure (glibc's readers leave stray values after
  // skipping malformed lines).
  if (o.rc == 0) o.err = 0;
  if (o.rc != 0 && o.err != o.rc) o.problem += " errno differs from the result";
  return o;
}

// Records read successfully by compare_stream, so that the random tests can
// show they compared records and not only skipped lines.
size_t records_compared = 0;

// Both readers over the whole of `path`, asking with `len` bytes each time;
// after ERANGE both retry with a buffer that fits, so every record meets the
// small size once.  Returns the number of calls made; stops at the first
// difference.
size_t compare_stream(const std::string &path, Kind kind, size_t len, size_t misalign,
                      size_t large, const std::string &what) {
  FILE *theirs = fopen(path.c_str(), "re");
  FILE *ours = fopen(path.c_str(), "re");
  EXPECT_TRUE(theirs && ours);
  size_t calls = 0;
  for (int guard = 0; guard < 100000; ++guard) {
    Outcome a = read_one(kind, false, theirs, len, misalign);
    Outcome b = read_one(kind, true, ours, len, misalign);
    ++calls;
    EXPECT_EQ(a, b) << what << " buflen " << len << " misalign " << misalign << "\n glibc: "
                    << describe(a) << "\n own:   " << describe(b);
    EXPECT_EQ(b.problem, "") << what << " buflen " << len;
    if (!(a == b) || !b.problem.empty()) break;
    if (a.rc == 0) ++records_compared;
    if (a.rc == ERANGE) {
      a = read_one(kind, false, theirs, large, misalign);
      b = read_one(kind, true, ours, large, misalign);
      EXPECT_EQ(a, b) << what << " retry, buflen " << large << "\n glibc: " << describe(a)
                      << "\n own:   " << describe(b);
      if (!(a == b)) break;
    }
    if (a.rc != 0 && a.rc != ERANGE) break;
  }
  fclose(theirs);
  fclose(ours);
  return calls;
}

// Smallest buffer with which glibc reads the first record of `path` (binary
// search; a record that fits a buffer fits every larger one).
size_t needed_size(const std::string &path, Kind kind, size_t misalign, size_t upper) {
  size_t lo = 0, hi = upper;
  while (lo < hi) {
    size_t mid = lo + (hi - lo) / 2;
    FILE *f = fopen(path.c_str(), "re");
    Outcome o = read_one(kind, false, f, mid, misalign);
    fclose(f);
    if (o.rc == ERANGE) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
}

// Every buffer size from 0 to a little beyond what the largest record needs,
// at several alignments of the buffer.
void compare_all_sizes(const std::string &content, Kind kind, const std::string &what) {
  TempDir dir;
  std::string path = dir.file("map");
  write_file(path, content);
  size_t large = content.size() * 8 + 64;
  for (size_t misalign : {0, 1, 3, 6}) {
    for (size_t len = 0; len <= content.size() * 5 + 48; ++len) {
      compare_stream(path, kind, len, misalign, large, what);
      if (::testing::Test::HasFailure()) return;
    }
  }
}

// Buffer sizes within `margin` of what the first record needs, for records
// too large to try every size.
void compare_near_needed(const std::string &content, Kind kind, size_t margin,
                         const std::string &what) {
  TempDir dir;
  std::string path = dir.file("map");
  write_file(path, content);
  size_t large = content.size() * 8 + 64;
  for (size_t misalign : {0, 5}) {
    size_t need = needed_size(path, kind, misalign, large);
    ASSERT_LT(need, large) << what;
    for (size_t len = need > margin ? need - margin : 0; len <= need + margin; ++len) {
      compare_stream(path, kind, len, misalign, large, what);
      if (::testing::Test::HasFailure()) return;
    }
  }
}

std::string printable(const std::string &s) {
  std::string r;
  for (unsigned char c : s) {
    if (c >= 32 && c < 127) {
      r += static_cast<char>(c);
    } else {
      char esc[8];
      snprintf(esc, sizeof esc, "\\x%02x", c);
      r += esc;
    }
  }
  return r;
}

const std::vector<std::string> kPasswdCases = {
    "root:x:0:0:root:/root:/bin/bash\n",
    "a:x:1:2:g:d:s",                       // no final newline
    "   a:x:1:2:g:d:s\n\t\v\fb:x:3:4:g:d:s\n",  // leading white space
    "#c\n\n  \n\r\n  # x\nabcdef:x:1:2:g:d:s\n",  // comments and blank lines
    "+\n+:\n+a\n+a:\n-\n-a::::::\n+a:x\n+a:x:\n+a:x::\n+a:x:::\n+a:x:5\n+a:x:5:\n+a:x:5:6\n",
    "+a::z:\n+a:x:-1:2\n+a:x: :1:::\n+a:x:4294967296:1:::\n",
    "a:x:-1:2\nb:x:4294967295:2:::\nc:x:4294967296:2:::\nd:x: 5:+6:::\ne:x:5 :6:::\n",
    "f:x:99999999999999999999:1:::\ng:x:18446744073709551615:2\nh:x:-18446744073709551615:2\n",
    "i:x:-4294967295:2\nj:x:0x5:2\nk:x:\t5:2\nl:x:01:002\nm:x:-0:2\nn:x:- 5:2\n",
    "a:x:1\nb:x:1:2\nc:x:1:2:g\nd:x:1:2:g:d\ne:x:1:2:g:d:s:extra:more\nf::1:2::\n:x:1:2:::\n",
    "a:x:1:\na:x::2\na:x:1:2:\n:::::::\n",
    "a:x:1:2:g:d:s\r\nb:x:1\r:2:g:d:s\r\nc:x:1:2\r\n",
    std::string("a:x:5:2:g\0:d:s\nb:x:1:2\0\n\0abc\n", 30),  // NUL bytes
    "a b:x:5:2: g : d : s \n\xa0x:x:1:2:\xff\xfe:d\n",
    "\n\n\n",
    "",
};

const std::vector<std::string> kGroupCases = {
    "wheel:x:10:root,alice\n",
    "g:x:1:a,b",  // no final newline
    "    g:x:1:a,b\n\tg2:x:2:\n",
    "g:x:1:\ng:x:1\ng:x:\ng:x::a\ng::1:\ng:x:4294967296:\ng:x:-1:\n",
    "+\n+:\n+g:\n+g:x\n+g:x:\n+g:x::\n+g:x::a\n+g:x:5\n+g:x:5:\n-g:x:\n-\n",
    "g:x:1:,,,\ng:x:1: a , b \ng:x:1:a,b,\ng:x:1:a:b\ng:x:1: \ng:x:1:,a,,b,\n",
    "g:x:1:a\r\ng:x:1:\r\ng:x:1\r\n",
    std::string("g:x:1:a\0b,c\ng:x:2:a,\0\n", 23),
    "#g:x:1:a\n  # g\n\n\r\ng:x:3:a\n",
    "g:x:1:a,b,c,d,e,f,g,h,i,j,k,l,m,n,o,p,q,r,s,t,u,v,w,x,y,z\n",
    "g:x:1:aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\n",
    "g:x:1:a\ng:x:1:a\ng:x:1:a\n",
};

TEST(OwnReaders, HandPickedPasswdLinesMatchAtEveryBufferSize) {
  for (const auto &c : kPasswdCases) {
    compare_all_sizes(c, Kind::Passwd, printable(c));
    if (HasFailure()) return;
  }
}

TEST(OwnReaders, HandPickedGroupLinesMatchAtEveryBufferSize) {
  for (const auto &c : kGroupCases) {
    compare_all_sizes(c, Kind::Group, printable(c));
    if (HasFailure()) return;
  }
}

// Random lines from pieces that upset parsers: odd numbers, empty and extra
// fields, compat names, comments, white space, CR, NUL bytes, no newline.
std::string random_content(std::mt19937 &rng, Kind kind) {
  static const std::vector<std::string> pieces = {
      "",   "root", "x",   "0",  "1",          "4294967295", "4294967296", "-1",
      "+5", " 7",   "7 ",  "a b", "\t",        "\r",         "#",          "+",
      "-",  "a,b",  ",",   " , ", "\xff\xfe", "007",        "-4294967295",
      "18446744073709551616", "+a", "-b", ",a,,b,", "m1,m2,m3", " x",
      std::string("n\0l", 3)};
  auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
  std::string out;
  size_t lines = 1 + pick(6);
  for (size_t l = 0; l < lines; ++l) {
    std::string line;
    bool indent = pick(6) == 0;
    if (indent) line += pick(2) ? "  " : "\t";
    switch (pick(10)) {
      case 0: line += "#"; break;
      case 1: line += "+"; break;
      case 2: line += "-"; break;
      default: break;
    }
    size_t fields = pick(10) == 0 ? pick(10) : (kind == Kind::Passwd ? 7 : 4) + pick(3) - 1;
    for (size_t f = 0; f < fields; ++f) {
      if (f != 0) line += ":";
      line += pieces[pick(pieces.size())];
      if (pick(8) == 0) line += pieces[pick(pieces.size())];
    }
    bool last = l + 1 == lines;
    size_t ending = pick(8);
    bool newline = !(last && ending == 0);
    // glibc leaves stale bytes behind in an indented line without a newline
    // before its first NUL (see IndentedLastLineWithoutNewlineKeepsItsText);
    // keep such lines out of the comparison.
    bool indented = !line.empty() && line[0] != '\0' && strchr(" \t\n\v\f\r", line[0]) != nullptr;
    if (indented && (!newline || line.find('\0') != std::string::npos)) {
      line.erase(std::remove(line.begin(), line.end(), '\0'), line.end());
      newline = true;
    }
    if (!newline) {
      // no final newline
    } else if (ending == 1) {
      line += "\r\n";
    } else if (ending == 2) {
      line += "\n\n";
    } else {
      line += "\n";
    }
    out += line;
  }
  return out;
}

TEST(OwnReaders, GeneratedLinesMatchAtEveryBufferSize) {
  std::mt19937 rng(20261209);
  records_compared = 0;
  for (int i = 0; i < 150; ++i) {
    for (Kind kind : {Kind::Passwd, Kind::Group}) {
      std::string c = random_content(rng, kind);
      TempDir dir;
      std::string path = dir.file("map");
      write_file(path, c);
      size_t large = c.size() * 8 + 64;
      size_t misalign = static_cast<size_t>(i % 8);
      for (size_t len = 0; len <= c.size() * 5 + 48; ++len) {
        compare_stream(path, kind, len, misalign, large, printable(c));
        if (HasFailure()) return;
      }
    }
  }
  EXPECT_GT(records_compared, 10000u);
}

// Random bytes, weighted towards the characters the format gives a meaning.
TEST(OwnReaders, RandomBytesMatchAtEveryBufferSize) {
  std::mt19937 rng(7);
  records_compared = 0;
  const std::string alphabet = std::string("::::,,\n\n\n  \t\r#+-0123456789ab\xff") + '\0';
  for (int i = 0; i < 120; ++i) {
    std::string c;
    size_t n = std::uniform_int_distribution<size_t>(0, 120)(rng);
    for (size_t k = 0; k < n; ++k) {
      c += std::uniform_int_distribution<int>(0, 9)(rng) == 0
               ? static_cast<char>(std::uniform_int_distribution<int>(0, 255)(rng))
               : alphabet[std::uniform_int_distribution<size_t>(0, alphabet.size() - 1)(rng)];
    }
    // Keep glibc's stale-tail case out (an indented line with a NUL or
    // without a final newline): such a line's indent becomes 'w'.
    size_t start = 0;
    while (start < c.size()) {
      size_t end = c.find('\n', start);
      bool terminated = end != std::string::npos;
      if (!terminated) end = c.size();
      bool has_nul = c.find('\0', start) < end;
      if (has_nul || !terminated) {
        for (size_t k = start; k < end && c[k] != '\0' && strchr(" \t\v\f\r", c[k]); ++k) c[k] = 'w';
      }
      start = end + 1;
    }
    TempDir dir;
    std::string path = dir.file("map");
    write_file(path, c);
    for (Kind kind : {Kind::Passwd, Kind::Group}) {
      for (size_t len = 0; len <= c.size() * 5 + 48; ++len) {
        compare_stream(path, kind, len, static_cast<size_t>(i % 8), c.size() * 8 + 64, printable(c));
        if (HasFailure()) return;
      }
    }
  }
  EXPECT_GT(records_compared, 1000u);
}

TEST(OwnReaders, LongLinesMatchAroundTheNeededSize) {
  std::string gecos(100000, 'g');
  compare_near_needed("u:x:1:2:" + gecos + ":/home/u:/bin/sh\nv:x:2:2:::\n", Kind::Passwd, 24,
                      "100 kB gecos");
  compare_near_needed("u:x:1:2:" + gecos, Kind::Passwd, 24, "100 kB line, no newline");
  compare_near_needed("g:x:1:" + gecos + "\nh:x:2:\n", Kind::Group, 24, "100 kB member");
}

TEST(OwnReaders, GroupWithHundredThousandMembersMatchesAroundTheNeededSize) {
  std::string line = "big:x:4242:";
  for (int i = 0; i < 100000; ++i) {
    if (i != 0) line += ",";
    line += "user" + std::to_string(i);
  }
  compare_near_needed(line + "\nsmall:x:1:a\n", Kind::Group, 12, "100,000 members");
  // The same with empty members and white space in between.
  std::string sparse = "big:x:4242:";
  for (int i = 0; i < 100000; ++i) sparse += i % 3 == 0 ? ", ,u" + std::to_string(i) : ",";
  compare_near_needed(sparse + "\n", Kind::Group, 12, "100,000 members, sparse");
}

TEST(OwnReaders, ReadErrorIsReportedLikeGlibc) {
  TempDir dir;  // reading a directory stream fails with EISDIR
  for (Kind kind : {Kind::Passwd, Kind::Group}) {
    FILE *theirs = fopen(dir.path.c_str(), "re");
    FILE *ours = fopen(dir.path.c_str(), "re");
    ASSERT_TRUE(theirs && ours);
    Outcome a = read_one(kind, false, theirs, 256, 0);
    Outcome b = read_one(kind, true, ours, 256, 0);
    EXPECT_EQ(b.rc, EISDIR);
    EXPECT_EQ(a.rc, b.rc);
    EXPECT_EQ(a.err, b.err);
    fclose(theirs);
    fclose(ours);
  }
}

// Deliberate difference: glibc 2.36 moves an indented line to the buffer's
// start without its NUL, so when no newline precedes that NUL the record
// picks up the unmoved tail ("   a:x:1:2:g:d:s" read with shell "sd:s").  The
// own readers return the text as written.
TEST(OwnReaders, IndentedLastLineWithoutNewlineKeepsItsText) {
  TempDir dir;
  std::string path = dir.file("map");
  write_file(path, "   a:x:1:2:g:d:s");
  FILE *f = fopen(path.c_str(), "re");
  Outcome own = read_one(Kind::Passwd, true, f, 64, 0);
  fclose(f);
  EXPECT_EQ(own.rc, 0);
  EXPECT_EQ(own.strings, (std::vector<std::string>{"a", "x", "g", "d", "s"}));

  // Here glibc sees a third member "b" and needs 56 bytes; the own reader
  // needs the 48 that the same line without its indent takes.
  write_file(path, "  g:x:1:a,b");
  for (size_t len : {47, 48}) {
    f = fopen(path.c_str(), "re");
    own = read_one(Kind::Group, true, f, len, 0);
    fclose(f);
    EXPECT_EQ(own.rc, len == 47 ? ERANGE : 0) << len;
  }
  EXPECT_EQ(own.strings, (std::vector<std::string>{"g", "x", "a", "b"}));
}

// The contract the module's enumeration leans on, stated directly: a record
// that does not fit leaves the stream at its own line, after any comments
// before it, so the retry with a larger buffer reads it and not the next.
TEST(OwnReaders, TooSmallBufferLeavesTheRecordForTheRetry) {
  TempDir dir;
  std::string path = dir.file("group");
  std::string content = "# header\n\nwheel:x:10:root,alice,bob\nstaff:x:20:\n";
  write_file(path, content);
  FILE *f = fopen(path.c_str(), "re");
  char small[16];
  struct group gr;
  struct group *out = &gr;
  errno = 0;
  EXPECT_EQ(vesk::own_fgetgrent_r(f, &gr, small, sizeof small, &out), ERANGE);
  EXPECT_EQ(errno, ERANGE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(ftello(f), static_cast<off_t>(content.find("wheel")));
  std::vector<char> big(256);
  ASSERT_EQ(vesk::own_fgetgrent_r(f, &gr, big.data(), big.size(), &out), 0);
  EXPECT_STREQ(gr.gr_name, "wheel");
  ASSERT_NE(gr.gr_mem[2], nullptr);
  EXPECT_STREQ(gr.gr_mem[2], "bob");
  EXPECT_EQ(gr.gr_mem[3], nullptr);
  ASSERT_EQ(vesk::own_fgetgrent_r(f, &gr, big.data(), big.size(), &out), 0);
  EXPECT_STREQ(gr.gr_name, "staff");
  errno = 0;
  EXPECT_EQ(vesk::own_fgetgrent_r(f, &gr, big.data(), big.size(), &out), ENOENT);
  EXPECT_EQ(errno, ENOENT);
  fclose(f);
}

}  // namespace
