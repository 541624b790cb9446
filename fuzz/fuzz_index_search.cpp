// Fuzzes the indexed search, and the keyed lookups around it, over arbitrary
// index bytes and arbitrary map bytes.
//
// Input: one byte of flags, then the key (name lookups: the bytes up to the
// first newline; id lookups: four bytes, little endian), then the index
// length in two bytes (little endian), the index bytes, and the rest is the
// map.  Flags:
//   bit 0     group database (else passwd)
//   bit 1     id key (else name)
//   bits 2-4  buffer size, one of kBufferSizes
//   bit 5     go through the exported lookup (index, then the scan)
//   bit 6     index copy starts at its lower guard page (else ends at the upper one)
//   bit 7     index older than the map (stale)
//
// Every index mapping lives between guard pages (fuzz_support.h), so any
// read past the mapped index faults.  Checked after every call: the status
// is one of the four; a SUCCESS record is the one asked for and lies inside
// the caller's buffer; TRYAGAIN comes with ERANGE; the search alone leaves
// the error number untouched otherwise; no mapping or descriptor is left.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fuzz_support.h"
#include "lookup/search.h"
#include "nss_vesk.h"

namespace {

constexpr size_t kBufferSizes[8] = {1, 16, 64, 200, 1024, 4096, 16384, 65536};
constexpr int kUntouched = -12345;

void fail(const char *what) {
  fprintf(stderr, "%s\n", what);
  abort();
}


struct Input {
  uint8_t flags = 0;
  std::string key;
  uint32_t id = 0;
  const uint8_t *index = nullptr;
  size_t index_len = 0;
  const uint8_t *map = nullptr;
  size_t map_len = 0;
};

Input parse(const uint8_t *data, size_t size) {
  Input in;
  size_t p = 0;
  if (size == 0) return in;
  in.flags = data[p++];
  if (in.flags & 2) {
    for (int i = 0; i < 4; ++i)
      if (p < size) in.id |= uint32_t{data[p++]} << (8 * i);
    in.key = std::to_string(static_cast<int32_t>(in.id));
  } else {
    while (p < size && data[p] != '\n') in.key.push_back(static_cast<char>(data[p++]));
    if (p < size) ++p;
    in.key = in.key.c_str();  // the key is a C string: it ends at a NUL
  }
  size_t index_len = 0;
  if (p < size) index_len = data[p++];
  if (p < size) index_len |= size_t{data[p++]} << 8;
  in.index = data + p;
  in.index_len = index_len < size - p ? index_len : size - p;
  p += in.index_len;
  in.map = data + p;
  in.map_len = size - p;
  return in;
}

template <typename Record>
void check_success(const Input &in, const Record &r, const char *buffer, size_t buflen);

template <>
void check_success(const Input &in, const struct passwd &r, const char *buffer, size_t buflen) {
  vesk_fuzz::check_in_buffer(r, buffer, buflen);
  if ((in.flags & 2) ? r.pw_uid != in.id : strcmp(r.pw_name, in.key.c_str()) != 0)
    fail("SUCCESS with a record other than the one asked for");
}

template <>
void check_success(const Input &in, const struct group &r, const char *buffer, size_t buflen) {
  vesk_fuzz::check_in_buffer(r, buffer, buflen);
  if ((in.flags & 2) ? r.gr_gid != in.id : strcmp(r.gr_name, in.key.c_str()) != 0)
    fail("SUCCESS with a record other than the one asked for");
}

template <typename Record>
enum nss_status exported_lookup(const Input &in, Record *r, char *buf, size_t len, int *err);

template <>
enum nss_status exported_lookup(const Input &in, struct passwd *r, char *buf, size_t len,
                                int *err) {
  return (in.flags & 2) ? _nss_vesk_getpwuid_r(in.id, r, buf, len, err)
                        : _nss_vesk_getpwnam_r(in.key.c_str(), r, buf, len, err);
}

template <>
enum nss_status exported_lookup(const Input &in, struct group *r, char *buf, size_t len,
                                int *err) {
  return (in.flags & 2) ? _nss_vesk_getgrgid_r(in.id, r, buf, len, err)
                        : _nss_vesk_getgrnam_r(in.key.c_str(), r, buf, len, err);
}

template <typename Record>
void run(const Input &in, const std::string &map_path, const std::string &index_path,
         bool group) {
  const bool by_id = in.flags & 2;
  const bool exported = in.flags & 32;
  size_t buflen = kBufferSizes[(in.flags >> 2) & 7];
  // The group lookup by id refuses buffers below its minimum before it
  // touches any file; give it one it accepts.
  if (exported && group && by_id) buflen = NSS_VESK_GRGID_MIN_BUFLEN + buflen;
  std::vector<char> buffer(buflen);
  Record record;
  memset(&record, 0, sizeof record);
  int err = kUntouched;
  enum nss_status status;
  if (exported) {
    status = exported_lookup(in, &record, buffer.data(), buflen, &err);
  } else {
    IndexSearch search;
    search.map_path = map_path.c_str();
    search.index_path = index_path.c_str();
    search.verify = by_id ? vesk::verify_id<Record> : vesk::verify_name<Record>;
    search.wanted = by_id ? static_cast<const void *>(&in.id) : in.key.c_str();
    search.result = &record;
    search.buffer = buffer.data();
    search.buffer_len = buflen;
    search.key = in.key.c_str();
    search.key_len = in.key.size();
    status = vesk::index_search(&search, &err);
    if (status != NSS_STATUS_TRYAGAIN && err != kUntouched)
      fail("the search changed the error number without TRYAGAIN");
  }
  switch (status) {
    case NSS_STATUS_SUCCESS:
      check_success(in, record, buffer.data(), buflen);
      break;
    case NSS_STATUS_TRYAGAIN:
      if (err != ERANGE) fail("TRYAGAIN without ERANGE");
      break;
    case NSS_STATUS_NOTFOUND:
    case NSS_STATUS_UNAVAIL:
      break;
    default:
      fail("status outside the four");
  }
}

int g_free_fd = -1;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  vesk_fuzz::scratch_dir();
  g_free_fd = vesk_fuzz::lowest_free_fd();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Input in = parse(data, size);
  const bool group = in.flags & 1;
  const bool by_id = in.flags & 2;
  const std::string map_path = vesk_fuzz::scratch_file(group ? "group.vesk" : "passwd.vesk");
  const std::string index_path =
      map_path + (by_id ? (group ? NSS_VESK_SUFFIX_GID : NSS_VESK_SUFFIX_UID) : NSS_VESK_SUFFIX_NAME);
  const time_t map_time = 2000000000;
  vesk_fuzz::write_file(map_path, in.map, in.map_len, map_time);
  vesk_fuzz::write_file(index_path, in.index, in.index_len,
                        (in.flags & 128) ? map_time - 1 : map_time);
  if (group)
    _nss_vesk_setgrent_path(map_path.c_str());
  else
    _nss_vesk_setpwent_path(map_path.c_str());

  struct stat st;
  if (stat(index_path.c_str(), &st) != 0) abort();
  vesk_fuzz::arm_index_guard(static_cast<uint64_t>(st.st_ino), !(in.flags & 64));
  if (group)
    run<struct group>(in, map_path, index_path, group);
  else
    run<struct passwd>(in, map_path, index_path, group);
  vesk_fuzz::disarm_index_guard();

  if (vesk_fuzz::live_guarded_mappings() != 0) fail("an index mapping was not released");
  vesk_fuzz::check_no_new_descriptor(g_free_fd);
  return 0;
}
