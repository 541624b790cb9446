// Endurance: many mixed lookups in one process, through the index and
// through the scan, hits and misses, buffers too small, enumerations left
// open, with no growth in descriptors, mappings or heap.
#include <errno.h>
#include <grp.h>
#include <malloc.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "nss_vesk.h"
#include "test_support.h"

using namespace vesk_test;

namespace {

long lookups_wanted() {
  const char *s = getenv("VESK_ENDURANCE_LOOKUPS");
  if (s != nullptr && *s != '\0') return atol(s);
  return kSanitized ? 100000 : 1000000;
}

constexpr int kUsers = 50;

std::string passwd_map() {
  std::string out;
  for (int i = 0; i < kUsers; ++i)
    out += "user" + std::to_string(i) + ":x:" + std::to_string(5000 + i) + ":" +
           std::to_string(6000 + i % 10) + ":User " + std::to_string(i) + ":/home/user" +
           std::to_string(i) + ":/bin/sh\n";
  return out;
}

std::string group_map() {
  std::string out;
  for (int j = 0; j < 10; ++j)
    out += "grp" + std::to_string(j) + ":x:" + std::to_string(6000 + j) + ":user" +
           std::to_string(j) + ",user" + std::to_string(j + 10) + "\n";
  return out;
}

class Endurance : public ::testing::Test {
 protected:
  TempDir indexed, plain;  // maps with indexes, and the same maps without
  std::vector<char> buffer = std::vector<char>(NSS_VESK_GRGID_MIN_BUFLEN);
  long counts[4] = {};     // by status + 2

  void SetUp() override {
    for (TempDir *d : {&indexed, &plain}) {
      write_file(d->file("passwd.vesk"), passwd_map());
      write_file(d->file("group.vesk"), group_map());
    }
    write_indexes(indexed.file("passwd.vesk"), Db::Passwd);
    write_indexes(indexed.file("group.vesk"), Db::Group);
  }
  void TearDown() override {
    _nss_vesk_setpwent_path(NSS_VESK_PASSWD_MAP);
    _nss_vesk_setgrent_path(NSS_VESK_GROUP_MAP);
  }

  void use(const TempDir &d) {
    _nss_vesk_setpwent_path(d.file("passwd.vesk").c_str());
    _nss_vesk_setgrent_path(d.file("group.vesk").c_str());
  }

  void expect(enum nss_status got, enum nss_status want, long k) {
    ++counts[got + 2];
    if (got != want) ADD_FAILURE() << "lookup " << k << ": status " << got << ", expected " << want;
  }

  // Lookup number `k` of the mix.
  void one(long k) {
    struct passwd p;
    struct group g;
    int err = 0;
    const int i = static_cast<int>(k % kUsers);
    const std::string user = "user" + std::to_string(i);
    const std::string grp = "grp" + std::to_string(i % 10);
    use(k % 16 < 12 ? indexed : plain);
    switch (k % 8) {
      case 0:
        expect(_nss_vesk_getpwnam_r(user.c_str(), &p, buffer.data(), 1024, &err),
               NSS_STATUS_SUCCESS, k);
        break;
      case 1:
        expect(_nss_vesk_getpwuid_r(5000 + i, &p, buffer.data(), 1024, &err), NSS_STATUS_SUCCESS,
               k);
        break;
      case 2:
        expect(_nss_vesk_getgrnam_r(grp.c_str(), &g, buffer.data(), 1024, &err),
               NSS_STATUS_SUCCESS, k);
        break;
      case 3:
        expect(_nss_vesk_getgrgid_r(6000 + i % 10, &g, buffer.data(), buffer.size(), &err),
               NSS_STATUS_SUCCESS, k);
        break;
      case 4:
        expect(_nss_vesk_getpwnam_r("nosuchuser", &p, buffer.data(), 1024, &err),
               NSS_STATUS_NOTFOUND, k);
        break;
      case 5:
        expect(_nss_vesk_getpwuid_r(5000 + i, &p, buffer.data(), 8, &err), NSS_STATUS_TRYAGAIN,
               k);
        break;
      case 6:
        expect(_nss_vesk_getgrgid_r(99999, &g, buffer.data(), buffer.size(), &err),
               NSS_STATUS_NOTFOUND, k);
        break;
      default:
        // An enumeration of a few records, ended every other time; a
        // lookup on the same database ends the others.
        _nss_vesk_setpwent();
        for (int n = 0; n < 3; ++n)
          if (_nss_vesk_getpwent_r(&p, buffer.data(), 1024, &err) != NSS_STATUS_SUCCESS)
            ADD_FAILURE() << "enumeration step " << k << " failed";
        _nss_vesk_getgrent_r(&g, buffer.data(), 1024, &err);
        if (k % 16 == 7) {
          _nss_vesk_endpwent();
          _nss_vesk_endgrent();
        }
        break;
    }
  }
};

TEST_F(Endurance, MillionMixedLookupsLeaveNothingBehind) {
  const long total = lookups_wanted();
  for (long k = 0; k < 1000; ++k) one(k);  // warm-up
  for (long &c : counts) c = 0;
  _nss_vesk_endpwent();
  _nss_vesk_endgrent();
  const int fds = count_open_fds();
  const int maps = count_mappings();
  const size_t heap = mallinfo2().uordblks;

  for (long k = 0; k < total && !HasFailure(); ++k) one(k);
  _nss_vesk_endpwent();
  _nss_vesk_endgrent();

  const int fds_after = count_open_fds();
  const int maps_after = count_mappings();
  const size_t heap_after = mallinfo2().uordblks;
  printf("endurance: %ld operations, 7 in 8 keyed lookups (%ld success, %ld not found, %ld try again, %ld unavailable); "
         "descriptors %d -> %d, mappings %d -> %d, heap in use %zu -> %zu bytes\n",
         total, counts[3], counts[2], counts[0], counts[1], fds, fds_after, maps, maps_after, heap,
         heap_after);
  EXPECT_EQ(fds_after, fds);
  if (!kSanitized) {
    EXPECT_EQ(maps_after, maps);
    EXPECT_EQ(heap_after, heap);
  }
}

}  // namespace
