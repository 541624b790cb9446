// Fuzzes enumeration over arbitrary map bytes, with small and odd buffer
// sizes.
//
// Input: one byte of flags, the rest is the map.  Flags:
//   bit 0     group database (else passwd)
//   bits 1-4  first buffer size, one of kBufferSizes
//   bit 5     grow the buffer on TRYAGAIN (else give up on that record by
//             ending and restarting the enumeration, once)
//   bit 6     start with the set function (else the first read opens)
//
// Checked: every status is one of the four; TRYAGAIN comes with ERANGE;
// NOTFOUND at the end comes with error number 0 and stays NOTFOUND; every
// record lies inside the caller's buffer; when the buffer grows on TRYAGAIN,
// the records are exactly those the line reader gives with an ample buffer
// (compat entries aside), in the same order (a record that did not fit is read again, not skipped);
// the number of steps is bounded by the map's size (no endless loop); no
// descriptor is left after the end function.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fuzz_support.h"
#include "map/reader.h"
#include "nss_vesk.h"

namespace {

constexpr size_t kBufferSizes[16] = {1, 2, 3, 5, 7, 13, 31, 64, 101, 127, 255, 333, 1000, 1021, 4093, 8191};
constexpr size_t kMaxBuffer = size_t{1} << 20;

void fail(const char *what) {
  fprintf(stderr, "%s\n", what);
  abort();
}


int g_free_fd = -1;

enum nss_status get(struct passwd *r, char *b, size_t n, int *e) { return _nss_vesk_getpwent_r(r, b, n, e); }
enum nss_status get(struct group *r, char *b, size_t n, int *e) { return _nss_vesk_getgrent_r(r, b, n, e); }
enum nss_status set(struct passwd *) { return _nss_vesk_setpwent(); }
enum nss_status set(struct group *) { return _nss_vesk_setgrent(); }
enum nss_status end(struct passwd *) { return _nss_vesk_endpwent(); }
enum nss_status end(struct group *) { return _nss_vesk_endgrent(); }

std::string tag_of(const struct passwd &r) {
  return std::string(r.pw_name) + ":" + std::to_string(r.pw_uid);
}
std::string tag_of(const struct group &r) {
  return std::string(r.gr_name) + ":" + std::to_string(r.gr_gid);
}

int read_line(FILE *f, struct passwd *r, char *b, size_t n) {
  struct passwd *out;
  return vesk::read_passwd_line(f, r, b, n, &out);
}
int read_line(FILE *f, struct group *r, char *b, size_t n) {
  struct group *out;
  return vesk::read_group_line(f, r, b, n, &out);
}

// The records of the map as the line reader gives them with an ample buffer,
// less the compat entries (names beginning with '+' or '-'), which the
// module never answers for.
template <typename Record>
std::vector<std::string> reference(const std::string &path) {
  std::vector<std::string> tags;
  FILE *f = fopen(path.c_str(), "re");
  if (f == nullptr) fail("cannot reopen the map");
  std::vector<char> buffer(kMaxBuffer);
  Record record;
  while (read_line(f, &record, buffer.data(), buffer.size()) == 0) {
    const std::string tag = tag_of(record);
    if (tag[0] != '+' && tag[0] != '-') tags.push_back(tag);
  }
  fclose(f);
  return tags;
}

template <typename Record>
void enumerate(uint8_t flags, const std::string &path, size_t map_len) {
  size_t buflen = kBufferSizes[(flags >> 1) & 15];
  const bool grow = flags & 32;
  bool restarted = false;
  if (flags & 64) {
    Record *tag = nullptr;
    if (set(tag) != NSS_STATUS_SUCCESS) fail("set failed on a readable map");
  }
  // Each record takes at least one byte of the map; each TRYAGAIN doubles
  // the buffer at most ~20 times per record; one restart re-reads the map.
  size_t budget = 2 * (map_len + 2) * 24 + 64;
  std::vector<std::string> tags;
  bool complete = false;
  for (;;) {
    if (budget-- == 0) fail("enumeration does not end");
    std::vector<char> buffer(buflen);
    Record record;
    memset(&record, 0, sizeof record);
    int err = -12345;
    enum nss_status status = get(&record, buffer.data(), buflen, &err);
    if (status == NSS_STATUS_SUCCESS) {
      vesk_fuzz::check_in_buffer(record, buffer.data(), buflen);
      tags.push_back(tag_of(record));
      continue;
    }
    if (status == NSS_STATUS_TRYAGAIN) {
      if (err != ERANGE) fail("TRYAGAIN without ERANGE");
      if (grow && buflen < kMaxBuffer) {
        buflen = buflen * 2 + 1;
        continue;
      }
      if (!restarted) {
        restarted = true;
        Record *tag = nullptr;
        end(tag);
        tags.clear();
        continue;
      }
      break;
    }
    if (status == NSS_STATUS_NOTFOUND) {
      if (err == 0) {
        // The end of the data: it stays the end.
        int err2 = -1;
        if (get(&record, buffer.data(), buflen, &err2) != NSS_STATUS_NOTFOUND || err2 != 0)
          fail("the end of the data did not stay the end");
      }
      complete = true;
      break;
    }
    if (status == NSS_STATUS_UNAVAIL) fail("UNAVAIL on a readable map");
    fail("status outside the four");
  }
  Record *tag = nullptr;
  if (end(tag) != NSS_STATUS_SUCCESS) fail("end did not succeed");
  if (grow && complete && !restarted && tags != reference<Record>(path))
    fail("enumeration differs from the line reader's records");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  vesk_fuzz::scratch_dir();
  g_free_fd = vesk_fuzz::lowest_free_fd();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  uint8_t flags = size > 0 ? data[0] : 0;
  const uint8_t *map = size > 0 ? data + 1 : data;
  size_t map_len = size > 0 ? size - 1 : 0;
  const bool group = flags & 1;
  const std::string path = vesk_fuzz::scratch_file(group ? "group.vesk" : "passwd.vesk");
  vesk_fuzz::write_file(path, map, map_len, 2000000000);
  if (group) {
    _nss_vesk_setgrent_path(path.c_str());
    enumerate<struct group>(flags, path, map_len);
  } else {
    _nss_vesk_setpwent_path(path.c_str());
    enumerate<struct passwd>(flags, path, map_len);
  }
  vesk_fuzz::check_no_new_descriptor(g_free_fd);
  return 0;
}
