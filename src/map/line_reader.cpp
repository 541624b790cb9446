// The module's own passwd and group line readers (see line_reader.h).
//
// A line is read with fgets straight into the caller's buffer and parsed in
// place, so the buffer size at which a record stops fitting is the same as
// with glibc's readers: a line needs its length plus two bytes (fgets must
// not fill the buffer), and a group additionally needs room for its member
// pointers after the line.
#include "map/line_reader.h"

#include <errno.h>
#include <limits.h>
#include <stdint.h>
#include <string.h>
#include <sys/types.h>

namespace vesk {

namespace {

// Smaller buffers are refused before anything is read.
constexpr size_t kMinBuffer = 3;

// White space of the C locale; the readers don't depend on the locale.
bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_compat_name(const char *name) { return name[0] == '+' || name[0] == '-'; }

// Holds the stream's lock for the whole call, so that a line is read and,
// if need be, put back without another thread reading in between.
struct StreamLock {
  FILE *stream;
  explicit StreamLock(FILE *s) : stream(s) { flockfile(stream); }
  ~StreamLock() { funlockfile(stream); }
  StreamLock(const StreamLock &) = delete;
  StreamLock &operator=(const StreamLock &) = delete;
};

// One line read into the caller's buffer.
struct Line {
  off_t start = 0;     // stream offset of the line's first byte
  size_t raw_len = 0;  // strlen of what fgets stored, leading white space included
};

// Reads lines into `buffer` until one may hold a record: skips blank lines
// and comments, moves the text past leading white space to the buffer's
// start and drops the final newline.  Returns 0, ENOENT, ERANGE (the stream
// is put back at the line's start) or the stream's error.
int read_line(FILE *stream, char *buffer, size_t buflen, Line *line) {
  if (buflen < kMinBuffer) return ERANGE;
  int size = buflen > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(buflen);
  for (;;) {
    line->start = ftello(stream);
    // fgets stores at most size - 1 bytes and a NUL after them: a NUL in the
    // last byte means the line may have been cut.
    buffer[size - 1] = '\x01';
    if (fgets(buffer, size, stream) == nullptr) {
      if (ferror(stream)) return errno != 0 ? errno : EIO;
      return ENOENT;
    }
    if (buffer[size - 1] == '\0') {
      fseeko(stream, line->start, SEEK_SET);
      return ERANGE;
    }
    // A NUL byte read from the file ends the line's text here, as it does
    // for the platform's readers.
    size_t raw_len = strlen(buffer);
    size_t skip = 0;
    while (is_space(buffer[skip])) ++skip;
    if (buffer[skip] == '\0' || buffer[skip] == '#') continue;
    // Unlike glibc 2.36, the terminating NUL moves with the text: there an
    // unterminated last line with leading white space picks up the stale
    // tail of the unmoved text ("  a:...:sh" read as "a:...:sh:sh").
    if (skip != 0) memmove(buffer, buffer + skip, raw_len - skip + 1);
    char *newline = strchr(buffer, '\n');
    if (newline != nullptr) *newline = '\0';
    line->raw_len = raw_len;
    return 0;
  }
}

// A ':'-terminated string field; at the end of the line an empty string.
char *string_field(char *&line) {
  char *start = line;
  while (*line != '\0' && *line != ':') ++line;
  if (*line != '\0') *line++ = '\0';
  return start;
}

// A decimal id field, as strtoul reads it (leading white space, a sign,
// negative values wrapping, overflow saturating) and limited to 32 bits,
// followed by ':' or the end of the line.  A compat entry's id may be empty
// (0), but only when a ':' follows.  False: the line is malformed.
bool id_field(char *&line, bool compat, uint32_t *value) {
  if (compat && *line == '\0') return false;
  char *p = line;
  while (is_space(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  if (!is_digit(*p)) {
    if (!compat) return false;
    p = line;
    *value = 0;
  } else {
    uint64_t v = 0;
    bool overflow = false;
    for (; is_digit(*p); ++p) {
      unsigned digit = static_cast<unsigned>(*p - '0');
      if (v > (UINT64_MAX - digit) / 10) overflow = true;
      v = v * 10 + digit;
    }
    if (overflow) return false;  // strtoul gives ULONG_MAX, beyond 32 bits
    if (negative) v = UINT64_C(0) - v;
    if (v > UINT32_MAX) return false;
    *value = static_cast<uint32_t>(v);
  }
  if (*p == ':') {
    ++p;
  } else if (*p != '\0') {
    return false;
  }
  line = p;
  return true;
}

bool parse_passwd(char *line, struct passwd *pw) {
  pw->pw_name = string_field(line);
  if (*line == '\0' && is_compat_name(pw->pw_name)) {
    pw->pw_passwd = nullptr;
    pw->pw_uid = 0;
    pw->pw_gid = 0;
    pw->pw_gecos = nullptr;
    pw->pw_dir = nullptr;
    pw->pw_shell = nullptr;
    return true;
  }
  pw->pw_passwd = string_field(line);
  bool compat = is_compat_name(pw->pw_name);
  uint32_t uid = 0;
  uint32_t gid = 0;
  if (!id_field(line, compat, &uid) || !id_field(line, compat, &gid)) return false;
  pw->pw_uid = uid;
  pw->pw_gid = gid;
  pw->pw_gecos = string_field(line);
  pw->pw_dir = string_field(line);
  pw->pw_shell = line;
  return true;
}

enum class Parse { Ok, Malformed, TooSmall };

// The fields of a group line, then its members: split at ',', leading
// white space of each dropped, empty ones left out.  The pointer array
// starts at the first aligned address after the line as read and must have
// room for two slots beyond the members, as the platform's reader demands.
Parse parse_group(char *buffer, size_t buflen, size_t raw_len, struct group *gr) {
  char *line = buffer;
  gr->gr_name = string_field(line);
  if (*line == '\0' && is_compat_name(gr->gr_name)) {
    gr->gr_passwd = nullptr;
    gr->gr_gid = 0;
  } else {
    gr->gr_passwd = string_field(line);
    uint32_t gid = 0;
    if (!id_field(line, is_compat_name(gr->gr_name), &gid)) return Parse::Malformed;
    gr->gr_gid = gid;
  }
  constexpr size_t kAlign = alignof(char *);
  uintptr_t base = reinterpret_cast<uintptr_t>(buffer);
  uintptr_t list_addr = (base + raw_len + 1 + kAlign - 1) & ~static_cast<uintptr_t>(kAlign - 1);
  size_t list_offset = list_addr - base;
  if (list_offset > buflen) return Parse::TooSmall;
  size_t slots = (buflen - list_offset) / sizeof(char *);
  char **list = reinterpret_cast<char **>(buffer + list_offset);
  size_t count = 0;
  for (;;) {
    if (slots < 2 || count > slots - 2) return Parse::TooSmall;
    if (*line == '\0') break;
    while (is_space(*line)) ++line;
    char *member = line;
    while (*line != '\0' && *line != ',') ++line;
    if (line > member) list[count++] = member;
    if (*line != '\0') *line++ = '\0';
  }
  list[count] = nullptr;
  gr->gr_mem = list;
  return Parse::Ok;
}

template <typename Record>
int fail(int err, Record **out) {
  *out = nullptr;
  errno = err;
  return err;
}

}  // namespace

int own_fgetpwent_r(FILE *stream, struct passwd *result, char *buffer, size_t buflen,
                    struct passwd **out) {
  StreamLock lock(stream);
  for (;;) {
    Line line;
    int err = read_line(stream, buffer, buflen, &line);
    if (err != 0) return fail(err, out);
    if (parse_passwd(buffer, result)) {
      *out = result;
      return 0;
    }
  }
}

int own_fgetgrent_r(FILE *stream, struct group *result, char *buffer, size_t buflen,
                    struct group **out) {
  StreamLock lock(stream);
  for (;;) {
    Line line;
    int err = read_line(stream, buffer, buflen, &line);
    if (err != 0) return fail(err, out);
    switch (parse_group(buffer, buflen, line.raw_len, result)) {
      case Parse::Ok:
        *out = result;
        return 0;
      case Parse::TooSmall:
        fseeko(stream, line.start, SEEK_SET);
        return fail(ERANGE, out);
      case Parse::Malformed:
        break;
    }
  }
}

}  // namespace vesk
