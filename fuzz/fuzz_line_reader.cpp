// Fuzzes the module's own line readers (vesk::own_fgetpwent_r and
// vesk::own_fgetgrent_r) over arbitrary stream bytes, against glibc's
// readers and against themselves with small buffers.
//
// Input: one byte of flags, the rest is the stream.  Flags:
//   bit 0     group (else passwd)
//   bits 1-3  first buffer size of the small-buffer pass, one of kSmall
//
// 1. With an ample buffer, the own reader and glibc's give the same
//    sequence: the same result, errno, record fields and stream position
//    after every call.  One deliberate difference is kept out: glibc keeps
//    stale bytes of an indented line that has a NUL byte or no newline, so
//    such a line's indent is made non-blank first.
// 2. With a small buffer grown on ERANGE, the own reader gives the same
//    records as with the ample one (a record that did not fit is read again,
//    not skipped);
//    every string lies inside the buffer, which is allocated at its exact
//    size so that a write past it is caught.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "fuzz_support.h"
#include "map/line_reader.h"

namespace {

constexpr size_t kSmall[8] = {0, 1, 7, 16, 33, 64, 128, 300};

void fail(const char *what, size_t call) {
  fprintf(stderr, "%s (call %zu)\n", what, call);
  abort();
}

std::string str(const char *s) { return s == nullptr ? "<null>" : std::string("=") + s; }

std::string describe(const struct passwd &p) {
  return str(p.pw_name) + str(p.pw_passwd) + "|" + std::to_string(p.pw_uid) + "|" +
         std::to_string(p.pw_gid) + str(p.pw_gecos) + str(p.pw_dir) + str(p.pw_shell);
}

std::string describe(const struct group &g) {
  std::string out = str(g.gr_name) + str(g.gr_passwd) + "|" + std::to_string(g.gr_gid);
  if (g.gr_mem == nullptr) return out + "<no members>";
  for (char **m = g.gr_mem; *m != nullptr; ++m) out += "," + std::string(*m);
  return out;
}

int own(FILE *f, struct passwd *r, char *b, size_t n) {
  struct passwd *out = nullptr;
  int rc = vesk::own_fgetpwent_r(f, r, b, n, &out);
  if ((rc == 0) != (out == r)) fail("*out disagrees with the result", 0);
  return rc;
}
int own(FILE *f, struct group *r, char *b, size_t n) {
  struct group *out = nullptr;
  int rc = vesk::own_fgetgrent_r(f, r, b, n, &out);
  if ((rc == 0) != (out == r)) fail("*out disagrees with the result", 0);
  return rc;
}
int theirs(FILE *f, struct passwd *r, char *b, size_t n) {
  struct passwd *out = nullptr;
  return fgetpwent_r(f, r, b, n, &out);
}
int theirs(FILE *f, struct group *r, char *b, size_t n) {
  struct group *out = nullptr;
  return fgetgrent_r(f, r, b, n, &out);
}

// Makes the indent of an indented line that holds a NUL or lacks its
// newline non-blank (see above).
std::string without_stale_tail_case(std::string c) {
  size_t start = 0;
  while (start < c.size()) {
    size_t end = c.find('\n', start);
    bool terminated = end != std::string::npos;
    if (!terminated) end = c.size();
    bool has_nul = c.find('\0', start) < end;
    if (has_nul || !terminated)
      for (size_t k = start; k < end && c[k] != '\0' && strchr(" \t\v\f\r", c[k]); ++k) c[k] = 'w';
    start = end + 1;
  }
  return c;
}

FILE *open_memory(std::string &content) {
  // fmemopen of zero bytes fails; an empty stream is a stream at its end.
  static char empty[1];
  FILE *f = content.empty() ? fmemopen(empty, 1, "r") : fmemopen(content.data(), content.size(), "r");
  if (f == nullptr) abort();
  if (content.empty()) fgetc(f);
  return f;
}

template <typename Record>
void run(std::string content, uint8_t flags) {
  content = without_stale_tail_case(std::move(content));
  const size_t ample = content.size() * 2 + 4096;

  // 1. Own against glibc, ample buffer.
  std::vector<std::string> records;
  {
    std::string a = content, b = content;
    FILE *fa = open_memory(a), *fb = open_memory(b);
    std::vector<char> ba(ample), bb(ample);
    for (size_t call = 0;; ++call) {
      if (call > content.size() + 1) fail("the reader does not reach the end", call);
      Record ra, rb;
      memset(&ra, 0, sizeof ra);
      memset(&rb, 0, sizeof rb);
      errno = 0;
      int rc_a = own(fa, &ra, ba.data(), ample);
      int err_a = errno;
      errno = 0;
      int rc_b = theirs(fb, &rb, bb.data(), ample);
      int err_b = errno;
      if (rc_a != rc_b) fail("result differs from glibc", call);
      if (rc_a != 0 && err_a != err_b) fail("errno differs from glibc", call);
      if (ftell(fa) != ftell(fb)) fail("stream position differs from glibc", call);
      if (rc_a != 0) break;
      vesk_fuzz::check_in_buffer(ra, ba.data(), ample);
      std::string da = describe(ra), db = describe(rb);
      if (da != db) {
        fprintf(stderr, "own:   %s\nglibc: %s\n", da.c_str(), db.c_str());
        fail("record differs from glibc", call);
      }
      records.push_back(da);
    }
    fclose(fa);
    fclose(fb);
  }

  // 2. Small buffers, grown on ERANGE.
  std::string c = content;
  FILE *f = open_memory(c);
  size_t buflen = kSmall[(flags >> 1) & 7];
  size_t got = 0;
  for (size_t call = 0;; ++call) {
    if (call > 64 * (content.size() + 2)) fail("small-buffer reading does not end", call);
    std::vector<char> buffer(buflen);  // exact size: ASan sees a write past it
    Record r;
    memset(&r, 0, sizeof r);
    long before = ftell(f);
    int rc = own(f, &r, buffer.data(), buflen);
    if (rc == ERANGE) {
      // Skipped lines (comments, blanks) may stay consumed; the record's
      // own line may not.
      if (ftell(f) < before) fail("ERANGE moved the stream backwards", call);
      if (buflen >= ample) fail("ERANGE with an ample buffer", call);
      buflen = buflen * 2 + 1;
      continue;
    }
    if (rc != 0) break;
    vesk_fuzz::check_in_buffer(r, buffer.data(), buflen);
    if (got >= records.size() || describe(r) != records[got]) fail("small buffers read other records", call);
    ++got;
  }
  if (got != records.size()) fail("small buffers read fewer records", got);
  fclose(f);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  uint8_t flags = size > 0 ? data[0] : 0;
  std::string content(reinterpret_cast<const char *>(data) + (size > 0), size > 0 ? size - 1 : 0);
  if (flags & 1)
    run<struct group>(std::move(content), flags);
  else
    run<struct passwd>(std::move(content), flags);
  return 0;
}
