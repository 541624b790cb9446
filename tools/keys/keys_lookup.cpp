// A user's keys from the keys map: the indexed search, else a scan.
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "keys/keys_lookup.h"
#include "lookup/search.h"
#include "map/files.h"
#include "nss_vesk.h"

namespace vesk::keys {

namespace {

struct Wanted {
  const char *user;
  size_t user_len;
  uint32_t uid;
};

}  // namespace

void KeysAnswer::add(const char *p, size_t n) {
  if (failed) return;
  if (len + n + 1 > cap) {
    size_t want = cap == 0 ? 4096 : cap * 2;
    while (want < len + n + 1) want *= 2;
    char *grown = static_cast<char *>(realloc(data, want));
    if (grown == nullptr) {
      failed = true;
      return;
    }
    data = grown;
    cap = want;
  }
  memcpy(data + len, p, n);
  len += n;
  data[len++] = '\n';
}

namespace {

struct LineReader {
  char *line = nullptr;
  size_t cap = 0;
  // The next line without its newline, or -1 at the end or on an error.
  ssize_t next(FILE *f) {
    ssize_t n = getline(&line, &cap, f);
    if (n > 0 && line[n - 1] == '\n') line[--n] = '\0';
    return n;
  }
};

// Compares the user field of `line` with the wanted user: 0 when equal,
// otherwise their strcmp order (a line without a user field sorts below).
// On equality *key points at the key and *uid_ok says whether the uid
// field is the wanted uid.
int match(const char *line, size_t n, const Wanted &w, const char **key, bool *uid_ok) {
  const char *colon = static_cast<const char *>(memchr(line, ':', n));
  if (colon == nullptr) return -1;
  size_t user_len = static_cast<size_t>(colon - line);
  int order = memcmp(line, w.user, user_len < w.user_len ? user_len : w.user_len);
  if (order == 0 && user_len != w.user_len) order = user_len < w.user_len ? -1 : 1;
  if (order != 0) return order;
  const char *p = colon + 1, *end = line + n;
  uint64_t uid = 0;
  const char *digits = p;
  while (p < end && *p >= '0' && *p <= '9' && p - digits <= 10) uid = uid * 10 + static_cast<unsigned>(*p++ - '0');
  *uid_ok = p > digits && p < end && *p == ':' && uid == w.uid && (p - digits == 1 || *digits != '0');
  *key = p < end ? p + 1 : end;
  return 0;
}

// The indexed search's verifier: the map stream stands at the index
// entry's line.  Equal when that line is the wanted user's; the user's
// further lines, which follow it, are read too.
VerifyOutcome verify_keys(FILE *map, const IndexSearch *search) {
  const Wanted &w = *static_cast<const Wanted *>(search->wanted);
  KeysAnswer &out = *static_cast<KeysAnswer *>(search->result);
  LineReader reader;
  ssize_t n = reader.next(map);
  if (n < 0) {
    free(reader.line);
    errno = EIO;
    return ReadFailed;
  }
  const char *key;
  bool uid_ok = false;
  int order = match(reader.line, static_cast<size_t>(n), w, &key, &uid_ok);
  if (order == 0) {
    do {
      if (uid_ok) out.add(key, static_cast<size_t>(reader.line + n - key));
      n = reader.next(map);
    } while (n >= 0 && match(reader.line, static_cast<size_t>(n), w, &key, &uid_ok) == 0);
    if (ferror(map)) out.failed = true;
  }
  free(reader.line);
  return order == 0 ? Equal : order > 0 ? RecordAbove : RecordBelow;
}

// Reads the whole map for the wanted user's lines.  False when the map
// exists but can't be read.
bool scan(const char *path, const Wanted &w, KeysAnswer *out) {
  FILE *map = open_map_stream(path);
  if (map == nullptr) return errno == ENOENT;
  LineReader reader;
  ssize_t n;
  const char *key;
  bool uid_ok;
  while ((n = reader.next(map)) >= 0)
    if (match(reader.line, static_cast<size_t>(n), w, &key, &uid_ok) == 0 && uid_ok)
      out->add(key, static_cast<size_t>(reader.line + n - key));
  bool ok = !ferror(map);
  free(reader.line);
  fclose(map);
  return ok;
}

}  // namespace

int lookup_keys(const char *map, const char *user, uint32_t uid, KeysAnswer *out) {
  size_t user_len = strlen(user);
  // A name that can't be a key of the map has no keys.
  if (user_len == 0 || user_len > 255 || strpbrk(user, ":\n") != nullptr) return 0;
  char index[NSS_VESK_PATH_MAX + sizeof NSS_VESK_SUFFIX_NAME + 1];
  if (snprintf(index, sizeof index, "%s%s", map, NSS_VESK_SUFFIX_NAME) >= static_cast<int>(sizeof index)) {
    errno = ENAMETOOLONG;
    return -1;
  }
  Wanted wanted{user, user_len, uid};
  IndexSearch search{map, index, verify_keys, &wanted, out, nullptr, 0, user, user_len};
  int err = 0;
  enum nss_status status = index_search(&search, &err);
  if (status != NSS_STATUS_SUCCESS && status != NSS_STATUS_NOTFOUND) {
    out->len = 0;  // the index could not be trusted: whatever was read goes
    out->failed = false;
    if (!scan(map, wanted, out)) return -1;
  }
  if (out->failed) {
    errno = EIO;
    return -1;
  }
  return 0;
}

}  // namespace vesk::keys
