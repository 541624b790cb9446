// Micro-benchmarks of the module's entry points on generated maps of
// 1,000, 100,000 and 1,000,000 users (a tenth as many groups, five members
// each): the four indexed lookups, the scan that replaces them when no
// index is there, and full enumeration of both databases.
//
// The maps, their indexes and a list of random keys are written once per
// size into a temporary directory, removed at exit.  Each lookup iteration
// resolves the next key of the list, so the binary search and the map read
// land on different pages from one call to the next.
#include <benchmark/benchmark.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "bench_data.h"
#include "nss_vesk.h"

namespace {

using vesk_bench::Key;

// One generated data set: DIR/indexed holds the maps with indexes,
// DIR/scan the same maps (hard links) without.
struct DataSet {
  std::string dir;
  std::vector<Key> keys;
  ~DataSet() {
    if (dir.empty()) return;
    for (const char *sub : {"/indexed/", "/scan/"}) {
      for (const char *f : {"passwd.vesk", "passwd.vesk.ixname", "passwd.vesk.ixuid", "group.vesk",
                            "group.vesk.ixname", "group.vesk.ixgid"})
        unlink((dir + sub + f).c_str());
      rmdir((dir + sub).c_str());
    }
    rmdir(dir.c_str());
  }
  std::string indexed(const char *file) const { return dir + "/indexed/" + file; }
  std::string scan(const char *file) const { return dir + "/scan/" + file; }
};

const DataSet *data_set(size_t users) {
  static std::map<size_t, std::unique_ptr<DataSet>> sets;
  auto &slot = sets[users];
  if (slot) return slot.get();
  const char *tmp = getenv("TMPDIR");
  std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/vesk-bench-XXXXXX";
  if (mkdtemp(templ.data()) == nullptr) return nullptr;
  auto set = std::make_unique<DataSet>();
  set->dir = templ;
  std::string indexed = templ + "/indexed", scan = templ + "/scan";
  bool ok = mkdir(indexed.c_str(), 0700) == 0 && mkdir(scan.c_str(), 0700) == 0 &&
            vesk_bench::write_maps(indexed, users) &&
            vesk_bench::write_indexes(indexed + "/passwd.vesk", false) &&
            vesk_bench::write_indexes(indexed + "/group.vesk", true) &&
            link((indexed + "/passwd.vesk").c_str(), (scan + "/passwd.vesk").c_str()) == 0 &&
            link((indexed + "/group.vesk").c_str(), (scan + "/group.vesk").c_str()) == 0;
  if (!ok) return nullptr;
  set->keys = vesk_bench::random_keys(users, 4096, 7);
  slot = std::move(set);
  return slot.get();
}

// The caller's buffer: 2 MiB, above the 1 MiB that lookups of groups by
// gid demand.
char *buffer() {
  static std::vector<char> buf(2 << 20);
  return buf.data();
}
constexpr size_t kBufLen = 2 << 20;

enum class Op { PwNam, PwUid, GrNam, GrGid };

enum nss_status call(Op op, const Key &k) {
  struct passwd pw;
  struct group gr;
  int err = 0;
  switch (op) {
    case Op::PwNam: return _nss_vesk_getpwnam_r(k.user.c_str(), &pw, buffer(), kBufLen, &err);
    case Op::PwUid: return _nss_vesk_getpwuid_r(k.uid, &pw, buffer(), kBufLen, &err);
    case Op::GrNam: return _nss_vesk_getgrnam_r(k.group.c_str(), &gr, buffer(), kBufLen, &err);
    case Op::GrGid: return _nss_vesk_getgrgid_r(k.gid, &gr, buffer(), kBufLen, &err);
  }
  return NSS_STATUS_UNAVAIL;
}

void lookup(benchmark::State &state, Op op, bool with_index) {
  const DataSet *set = data_set(static_cast<size_t>(state.range(0)));
  if (set == nullptr) {
    state.SkipWithError("could not write the maps");
    return;
  }
  const char *pw = "passwd.vesk", *gr = "group.vesk";
  std::string passwd = with_index ? set->indexed(pw) : set->scan(pw);
  std::string group = with_index ? set->indexed(gr) : set->scan(gr);
  _nss_vesk_setpwent_path(passwd.c_str());
  _nss_vesk_setgrent_path(group.c_str());
  size_t i = 0, failed = 0;
  for (auto _ : state) {
    const Key &k = set->keys[i++ % set->keys.size()];
    if (call(op, k) != NSS_STATUS_SUCCESS) ++failed;
  }
  if (failed) state.SkipWithError("a key did not resolve");
}

template <typename Record>
void enumerate(benchmark::State &state) {
  const DataSet *set = data_set(static_cast<size_t>(state.range(0)));
  if (set == nullptr) {
    state.SkipWithError("could not write the maps");
    return;
  }
  constexpr bool kGroup = std::is_same_v<Record, struct group>;
  std::string path = set->indexed(kGroup ? "group.vesk" : "passwd.vesk");
  if constexpr (kGroup) _nss_vesk_setgrent_path(path.c_str());
  else _nss_vesk_setpwent_path(path.c_str());
  size_t records = 0;
  for (auto _ : state) {
    Record r;
    int err = 0;
    size_t n = 0;
    if constexpr (kGroup) {
      _nss_vesk_setgrent();
      while (_nss_vesk_getgrent_r(&r, buffer(), kBufLen, &err) == NSS_STATUS_SUCCESS) ++n;
      _nss_vesk_endgrent();
    } else {
      _nss_vesk_setpwent();
      while (_nss_vesk_getpwent_r(&r, buffer(), kBufLen, &err) == NSS_STATUS_SUCCESS) ++n;
      _nss_vesk_endpwent();
    }
    records = n;
  }
  state.counters["records"] = static_cast<double>(records);
  state.SetItemsProcessed(static_cast<int64_t>(records) * state.iterations());
}

void sizes(benchmark::internal::Benchmark *b) {
  b->Arg(1000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMicrosecond);
}

}  // namespace

BENCHMARK_CAPTURE(lookup, getpwnam_indexed, Op::PwNam, true)->Apply(sizes);
BENCHMARK_CAPTURE(lookup, getpwuid_indexed, Op::PwUid, true)->Apply(sizes);
BENCHMARK_CAPTURE(lookup, getgrnam_indexed, Op::GrNam, true)->Apply(sizes);
BENCHMARK_CAPTURE(lookup, getgrgid_indexed, Op::GrGid, true)->Apply(sizes);
BENCHMARK_CAPTURE(lookup, getpwnam_scan, Op::PwNam, false)->Apply(sizes);
BENCHMARK_CAPTURE(lookup, getpwuid_scan, Op::PwUid, false)->Apply(sizes);
BENCHMARK_CAPTURE(lookup, getgrnam_scan, Op::GrNam, false)->Apply(sizes);
BENCHMARK_CAPTURE(lookup, getgrgid_scan, Op::GrGid, false)->Apply(sizes);
BENCHMARK_TEMPLATE(enumerate, struct passwd)->Apply(sizes);
BENCHMARK_TEMPLATE(enumerate, struct group)->Apply(sizes);

BENCHMARK_MAIN();
