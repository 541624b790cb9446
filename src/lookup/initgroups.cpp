// Group membership of one user: _nss_vesk_initgroups_dyn.
//
// One pass over the group map with a descriptor of its own, read in large
// blocks.  Instead of parsing every line into a struct group, each block is
// searched for the user name, and only lines that contain it are parsed, by
// the rules of the platform's group line reader:
//
//  - a line is the bytes up to and including its newline (or up to the end
//    of the file); a NUL byte ends the line's text early;
//  - leading white space is skipped; a line that is then empty or starts
//    with '#' is no record;
//  - a line whose name starts with '+' or '-' is a compat line, which the
//    module never answers for (is_compat_name), so it grants no membership;
//  - fields are name ':' password ':' gid [':' members];
//  - the gid reads as strtoul() reads it in base 10 (leading white space,
//    an optional sign, at least one digit); it must end at ':' or at the end
//    of the line and fit in 32 bits, else the line is no record;
//  - members are split at ','; each item loses its leading white space
//    (not its trailing white space) and empty items are dropped;
//  - glibc's reader treats a line that has leading white space but no
//    newline (the file's unterminated last line, or a line cut by a NUL)
//    oddly: it moves the text after the white space to the start of the
//    line and leaves the line's last bytes where they were, so the text it
//    parses ends with a second copy of those bytes.  Where the module uses
//    glibc's reader the same move is done here; the module's own reader
//    parses such a line as if it had its newline.
//
// White space is the ASCII set " \t\n\v\f\r".  The pass takes no lock: it
// reads no shared state except the group map path, which it copies first.
#include <errno.h>
#include <limits.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "map/files.h"
#include "map/state.h"
#include "nss_vesk.h"

namespace vesk {
namespace {

constexpr size_t kBlockSize = 64 * 1024;

#ifdef VESK_HAVE_FGETGRENT_R
constexpr bool kReaderRepeatsTail = true;  // glibc's reader, see above
#else
constexpr bool kReaderRepeatsTail = false;
#endif

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Owns a heap buffer; frees it on scope exit.
struct HeapBuffer {
  char *data = nullptr;
  size_t capacity = 0;
  ~HeapBuffer() { free(data); }
};

// The gid field as the reader parses it, from `p` up to `end`.  Returns
// false when the line is no record; otherwise *gid is set and *rest points
// at the ':' after the digits, or at `end`.
bool parse_gid(const char *p, const char *end, uint32_t *gid, const char **rest) {
  while (p < end && is_space(*p)) ++p;
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
  if (p == end || *p < '0' || *p > '9') return false;
  uint64_t value = 0;
  for (; p < end && *p >= '0' && *p <= '9'; ++p) {
    uint64_t digit = static_cast<uint64_t>(*p - '0');
    if (value > (UINT64_MAX - digit) / 10) return false;  // strtoul overflows
    value = value * 10 + digit;
  }
  if (p != end && *p != ':') return false;
  if (negative) value = 0 - value;  // strtoul negates in unsigned arithmetic
  if (value > UINT32_MAX) return false;
  *gid = static_cast<uint32_t>(value);
  *rest = p;
  return true;
}

// True when the member list [p, end) holds `user` as one whole member.
bool lists_member(const char *p, const char *end, const char *user, size_t user_len) {
  for (;;) {
    while (p < end && is_space(*p)) ++p;
    const char *comma = static_cast<const char *>(memchr(p, ',', static_cast<size_t>(end - p)));
    const char *item_end = comma != nullptr ? comma : end;
    if (static_cast<size_t>(item_end - p) == user_len && memcmp(p, user, user_len) == 0)
      return true;
    if (comma == nullptr) return false;
    p = comma + 1;
  }
}

// Parses one line of `len` bytes (its newline excluded; `terminated` tells
// whether it had one).  Returns true, with *gid set, when the line is a
// record listing `user`.  The line's bytes may be rewritten.
bool line_lists_user(char *line, size_t len, bool terminated, const char *user, size_t user_len,
                     uint32_t *gid) {
  if (const void *nul = memchr(line, '\0', len)) {
    len = static_cast<size_t>(static_cast<const char *>(nul) - line);
    terminated = false;  // the reader's copy of this line has no newline
  }
  size_t skip = 0;
  while (skip < len && is_space(line[skip])) ++skip;
  if (skip == len || line[skip] == '#') return false;
  if (terminated || !kReaderRepeatsTail) {
    line += skip;
    len -= skip;
  } else if (skip > 0) {
    memmove(line, line + skip, len - skip);  // the last `skip` bytes stay
  }
  const char *end = line + len;
  if (line[0] == '+' || line[0] == '-') return false;  // a compat line
  const char *colon = static_cast<const char *>(memchr(line, ':', len));
  if (colon == nullptr || colon + 1 == end) return false;  // no members in any case
  const char *pass = colon + 1;
  const char *gid_field = static_cast<const char *>(memchr(pass, ':', static_cast<size_t>(end - pass)));
  if (gid_field == nullptr) return false;
  ++gid_field;
  const char *rest;
  if (!parse_gid(gid_field, end, gid, &rest)) return false;
  if (rest == end) return false;
  return lists_member(rest + 1, end, user, user_len);
}

// The caller's gid array with glibc's growth rules.
struct GroupList {
  long int *start;
  long int *size;
  gid_t **groups;
  long int limit;
  long int first;  // *start on entry, restored when the pass fails

  // 0: stored; 1: full at `limit`, nothing more can be stored; ENOMEM.
  int add(gid_t gid) {
    if (*start >= *size) {
      // Grown from *start, so that even a caller's *start beyond *size
      // can't lead to a write past the array.
      if (limit > 0 && *start >= limit) return 1;
      long int grown = *start > 0 ? *start : 1;
      if (grown > LONG_MAX / 2 / static_cast<long int>(sizeof(gid_t))) return ENOMEM;
      grown *= 2;
      if (limit > 0 && grown > limit) grown = limit;
      void *p = realloc(*groups, static_cast<size_t>(grown) * sizeof(gid_t));
      if (p == nullptr) return ENOMEM;
      *groups = static_cast<gid_t *>(p);
      *size = grown;
    }
    (*groups)[(*start)++] = gid;
    return 0;
  }
};

// Result of scanning lines: go on reading, the list is full at its limit,
// or it could not grow.
enum class Scan { More, Full, NoMemory };

Scan add_if_listed(char *line, size_t len, bool terminated, const char *user, size_t user_len,
                   gid_t primary, GroupList &list) {
  uint32_t gid;
  if (!line_lists_user(line, len, terminated, user, user_len, &gid) || gid == primary)
    return Scan::More;
  int rc = list.add(gid);
  return rc == 0 ? Scan::More : rc == ENOMEM ? Scan::NoMemory : Scan::Full;
}

// The first occurrence of `user` in [p, end), or `end`.  This is the pass's
// inner loop, as most of a map doesn't hold the name: 32 positions at a time
// are tested for the name's first, middle and last byte (names often share
// a prefix, and numbered names their alphabet), and only those that pass
// are compared in full.
const char *find_user(const char *p, const char *end, const char *user, size_t user_len) {
#if defined(__SSE2__)
  if (static_cast<size_t>(end - p) >= user_len - 1 + 32) {
    const size_t mid = user_len / 2;
    const __m128i first = _mm_set1_epi8(user[0]);
    const __m128i middle = _mm_set1_epi8(user[mid]);
    const __m128i last = _mm_set1_epi8(user[user_len - 1]);
    auto match16 = [&](const char *q) {
      auto load = [](const char *r) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(r)); };
      __m128i m = _mm_and_si128(_mm_cmpeq_epi8(load(q), first), _mm_cmpeq_epi8(load(q + mid), middle));
      return static_cast<uint32_t>(_mm_movemask_epi8(_mm_and_si128(m, _mm_cmpeq_epi8(load(q + user_len - 1), last))));
    };
    // Every load stays inside [p, end) up to `stop`.
    for (const char *stop = end - (user_len - 1) - 32; p <= stop; p += 32) {
      for (uint32_t mask = match16(p) | match16(p + 16) << 16; mask != 0; mask &= mask - 1) {
        const char *at = p + __builtin_ctz(mask);
        if (user_len <= 2 || memcmp(at + 1, user + 1, user_len - 2) == 0) return at;
      }
    }
  }
#endif
  const char *hit = static_cast<const char *>(memmem(p, static_cast<size_t>(end - p), user, user_len));
  return hit != nullptr ? hit : end;
}

// Scans the lines in [p, end), which ends just past a newline.  Only lines
// that hold the user name, or a NUL byte, are parsed: a line cut by a NUL
// may end with copied bytes (see above) that form the name only there.
Scan scan_lines(char *p, char *end, const char *user, size_t user_len, gid_t primary,
                GroupList &list) {
  char *nul = nullptr;  // the next NUL byte at or after p, or end
  while (p < end) {
    if (nul == nullptr || nul < p) {
      nul = static_cast<char *>(memchr(p, '\0', static_cast<size_t>(end - p)));
      if (nul == nullptr) nul = end;
    }
    char *at = const_cast<char *>(find_user(p, nul, user, user_len));  // nul if none before it
    if (at == end) break;
    char *before = static_cast<char *>(memrchr(p, '\n', static_cast<size_t>(at - p)));
    char *line = before != nullptr ? before + 1 : p;
    char *nl = static_cast<char *>(memchr(at, '\n', static_cast<size_t>(end - at)));
    Scan scan = add_if_listed(line, static_cast<size_t>(nl - line), true, user, user_len, primary, list);
    if (scan != Scan::More) return scan;
    p = nl + 1;
  }
  return Scan::More;
}

}  // namespace
}  // namespace vesk

extern "C" {

NSS_VESK_EXPORT enum nss_status _nss_vesk_initgroups_dyn(const char *user, gid_t group,
                                                         long int *start, long int *size,
                                                         gid_t **groupsp, long int limit,
                                                         int *errnop) {
  using namespace vesk;
  char path[kPathBufferSize] = {};
  copy_path(path, group_map_path);
  struct stat st;
  Fd fd(open_regular(path, &st));
  if (fd.fd < 0) return NSS_STATUS_UNAVAIL;

  // No member is empty, starts with white space or holds ',' or a newline
  // (the reader splits and trims them away), so such a name is in no group;
  // nor is a compat name, which is no user.
  size_t user_len = strlen(user);
  if (user_len == 0 || is_space(user[0]) || user[0] == '+' || user[0] == '-' ||
      strpbrk(user, ",\n") != nullptr)
    return NSS_STATUS_SUCCESS;

  GroupList list{start, size, groupsp, limit, *start};
  HeapBuffer buf;
  buf.capacity = kBlockSize;
  buf.data = static_cast<char *>(malloc(buf.capacity));
  if (buf.data == nullptr) {
    *errnop = ENOMEM;
    return NSS_STATUS_TRYAGAIN;
  }
  size_t used = 0;  // bytes in buf: the start of a line not yet complete
  for (;;) {
    if (used == buf.capacity) {  // one line fills the buffer: make room
      void *p = realloc(buf.data, buf.capacity * 2);
      if (p == nullptr) {
        *start = list.first;
        *errnop = ENOMEM;
        return NSS_STATUS_TRYAGAIN;
      }
      buf.data = static_cast<char *>(p);
      buf.capacity *= 2;
    }
    ssize_t n = read(fd.fd, buf.data + used, buf.capacity - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      // A pass that could not read the whole map adds nothing.
      *start = list.first;
      *errnop = errno;
      return NSS_STATUS_UNAVAIL;
    }
    Scan scan;
    if (n == 0) {  // end of the map: what is left is an unterminated last line
      scan = used > 0 ? add_if_listed(buf.data, used, false, user, user_len, group, list) : Scan::More;
    } else {
      char *data = buf.data;
      char *fresh = data + used;
      used += static_cast<size_t>(n);
      char *last_nl = static_cast<char *>(memrchr(fresh, '\n', static_cast<size_t>(n)));
      if (last_nl == nullptr) continue;  // the line goes on: read more
      scan = scan_lines(data, last_nl + 1, user, user_len, group, list);
      used = static_cast<size_t>(data + used - (last_nl + 1));
      memmove(data, last_nl + 1, used);
    }
    if (scan == Scan::NoMemory) {
      *start = list.first;
      *errnop = ENOMEM;
      return NSS_STATUS_TRYAGAIN;
    }
    // Once the list is full at its limit, the rest of the map can't change it.
    if (scan == Scan::Full || n == 0) return NSS_STATUS_SUCCESS;
  }
}

}  // extern "C"
