// What the enumeration tests need to know about each database, so that every
// behaviour is written once as a typed test over passwd and group.
#pragma once

#include <errno.h>
#include <grp.h>
#include <pwd.h>

#include <string>
#include <vector>

#include "nss_vesk.h"
#include "test_support.h"

namespace vesk_test {

template <typename Record>
struct EnumDb;

template <>
struct EnumDb<struct passwd> {
  static constexpr const char *kName = "passwd";
  static void set_path(const std::string &p) { _nss_vesk_setpwent_path(p.c_str()); }
  static nss_status set() { return _nss_vesk_setpwent(); }
  static nss_status get(struct passwd *r, char *buf, size_t len, int *err) {
    return _nss_vesk_getpwent_r(r, buf, len, err);
  }
  static nss_status end() { return _nss_vesk_endpwent(); }
  // Map line of record `i` of a family `tag`; `wide` makes its strings long.
  static std::string line(const std::string &tag, int i, size_t wide = 0) {
    return tag + "u" + std::to_string(i) + ":x:" + std::to_string(5000 - i) + ":" +
           std::to_string(100 + i) + ":" + std::string(wide, 'g') + "User " +
           std::to_string(i) + ":/home/" + tag + std::to_string(i) + ":/bin/sh";
  }
  // Every pointer of the record that must lie in the caller's buffer.
  static std::vector<const char *> strings(const struct passwd &p) {
    return {p.pw_name, p.pw_passwd, p.pw_gecos, p.pw_dir, p.pw_shell};
  }
};

template <>
struct EnumDb<struct group> {
  static constexpr const char *kName = "group";
  static void set_path(const std::string &p) { _nss_vesk_setgrent_path(p.c_str()); }
  static nss_status set() { return _nss_vesk_setgrent(); }
  static nss_status get(struct group *r, char *buf, size_t len, int *err) {
    return _nss_vesk_getgrent_r(r, buf, len, err);
  }
  static nss_status end() { return _nss_vesk_endgrent(); }
  static std::string line(const std::string &tag, int i, size_t wide = 0) {
    std::string l = tag + "g" + std::to_string(i) + ":x:" + std::to_string(7000 - i) + ":";
    for (size_t m = 0; m < wide / 8 + 2; ++m) l += (m ? "," : "") + tag + "m" + std::to_string(m);
    return l;
  }
  static std::vector<const char *> strings(const struct group &g) {
    std::vector<const char *> s{g.gr_name, g.gr_passwd, reinterpret_cast<const char *>(g.gr_mem)};
    for (char **m = g.gr_mem; *m != nullptr; ++m) s.push_back(*m);
    return s;
  }
};

// Lines `first`..`first + n - 1` of family `tag`, joined with newlines.
template <typename Record>
std::string map_of(const std::string &tag, int n, int first = 1) {
  std::string out;
  for (int i = first; i < first + n; ++i) out += EnumDb<Record>::line(tag, i) + "\n";
  return out;
}

// The outcome of one get call, with the record as its map line.
struct Got {
  nss_status status;
  int err;
  std::string line;
};

template <typename Record>
Got get_one(size_t buflen = 1 << 16) {
  std::vector<char> buf(buflen + 1);  // never a null buffer, even for buflen 0
  Record r{};
  int err = -12345;
  nss_status s = EnumDb<Record>::get(&r, buf.data(), buf.size(), &err);
  return {s, err, s == NSS_STATUS_SUCCESS ? record_line(r) : std::string()};
}

}  // namespace vesk_test
