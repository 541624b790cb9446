// Shared by the lookup tests: the four keyed lookups behind one call, and
// index files written byte by byte (for offsets that aren't numbers and for
// files that break the format).
#pragma once

#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "nss_vesk.h"
#include "test_support.h"

namespace vesk_test {

// One of the four keyed lookups.
struct Kind {
  const char *label;
  Db db;
  Key key;
};

inline constexpr Kind kPasswdByName{"PasswdByName", Db::Passwd, Key::Name};
inline constexpr Kind kPasswdByUid{"PasswdByUid", Db::Passwd, Key::Id};
inline constexpr Kind kGroupByName{"GroupByName", Db::Group, Key::Name};
inline constexpr Kind kGroupByGid{"GroupByGid", Db::Group, Key::Id};

inline std::string index_suffix(const Kind &k) {
  if (k.key == Key::Name) return NSS_VESK_SUFFIX_NAME;
  return k.db == Db::Passwd ? NSS_VESK_SUFFIX_UID : NSS_VESK_SUFFIX_GID;
}

// The smallest buffer the lookup accepts at all.
inline size_t min_buflen(const Kind &k) {
  return k.db == Db::Group && k.key == Key::Id ? NSS_VESK_GRGID_MIN_BUFLEN : 1;
}

// What a lookup answered.  `tag` is the field that tells records with the
// same key apart: pw_gecos for passwd, gr_passwd for group.
struct Answer {
  enum nss_status status = NSS_STATUS_UNAVAIL;
  int err = 0;
  std::string name;
  uint32_t id = 0;
  std::string tag;
};

// The error number before a call; a call that must leave it alone keeps it.
inline constexpr int kUntouched = -12345;

// Runs the lookup of `kind` for `name` (name kinds) or `id` (id kinds) with
// a buffer of `buflen` bytes.
inline Answer lookup(const Kind &kind, const std::string &name, uint32_t id, size_t buflen) {
  // Small buffers are allocated at their exact size, so that the sanitizers
  // see any write past `buflen`; the megabyte ones are reused per thread.
  thread_local std::vector<char> large;
  std::vector<char> small;
  std::vector<char> &buffer = buflen <= 65536 ? small : large;
  if (buffer.size() < std::max<size_t>(buflen, 1)) buffer.resize(std::max<size_t>(buflen, 1));
  Answer a;
  a.err = kUntouched;
  if (kind.db == Db::Passwd) {
    struct passwd pw;
    memset(&pw, 0, sizeof pw);
    a.status = kind.key == Key::Name
                   ? _nss_vesk_getpwnam_r(name.c_str(), &pw, buffer.data(), buflen, &a.err)
                   : _nss_vesk_getpwuid_r(id, &pw, buffer.data(), buflen, &a.err);
    if (a.status == NSS_STATUS_SUCCESS) {
      a.name = pw.pw_name;
      a.id = pw.pw_uid;
      a.tag = pw.pw_gecos;
    }
  } else {
    struct group gr;
    memset(&gr, 0, sizeof gr);
    a.status = kind.key == Key::Name
                   ? _nss_vesk_getgrnam_r(name.c_str(), &gr, buffer.data(), buflen, &a.err)
                   : _nss_vesk_getgrgid_r(id, &gr, buffer.data(), buflen, &a.err);
    if (a.status == NSS_STATUS_SUCCESS) {
      a.name = gr.gr_name;
      a.id = gr.gr_gid;
      a.tag = gr.gr_passwd;
    }
  }
  return a;
}

// An index record spelled out: the key and the text after its NUL (normally
// the decimal offset; anything at all for tests of odd offsets).
struct RawEntry {
  std::string key;
  std::string offset_text;
};

// Index bytes with the entries in the given order, every record padded with
// NUL bytes to the longest one (or to `record_len` if larger) and ended by a
// newline.
inline std::string raw_index(const std::vector<RawEntry> &entries, size_t record_len = 0) {
  for (const auto &e : entries) record_len = std::max(record_len, e.key.size() + e.offset_text.size() + 2);
  std::string out;
  for (const auto &e : entries) {
    std::string rec = e.key;
    rec.push_back('\0');
    rec += e.offset_text;
    rec.resize(record_len - 1, '\0');
    rec.push_back('\n');
    out += rec;
  }
  return out;
}

}  // namespace vesk_test
