// Many threads at once: eight look up users and groups by name and by id
// (through the index and, for gids, through the scan) while two enumerate
// both maps.  Every lookup must give the right answer, every enumerated
// record must be a record of the map, and nothing may crash or race (this
// test is meant to run under ThreadSanitizer too).
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <random>
#include <thread>

#include "lookup_support.h"

namespace vesk_test {
namespace {

constexpr size_t kRecords = 300;
constexpr auto kDuration = std::chrono::seconds(3);

struct Rec {
  std::string name;
  uint32_t id;
  std::string tag;
};

// Collects the first few failures from any thread for the main thread.
struct Failures {
  std::mutex mu;
  std::vector<std::string> messages;
  std::atomic<int> count{0};
  void add(std::string m) {
    if (count.fetch_add(1) < 5) {
      std::lock_guard<std::mutex> g(mu);
      messages.push_back(std::move(m));
    }
  }
};

TEST(LookupConcurrency, LookupsAndEnumerationsOfBothDatabasesAtOnce) {
  TempDir dir;
  const std::string pw = dir.file("passwd"), gr = dir.file("group");
  std::vector<Rec> recs;
  std::string pw_content, gr_content;
  for (size_t i = 0; i < kRecords; ++i) {
    // Ids spread over the whole 32-bit range, all distinct.
    Rec r{"user" + std::to_string(i * 7919 % 1000) + "_" + std::to_string(i), static_cast<uint32_t>(i * 14316557u + 3),
          "t" + std::to_string(i)};
    pw_content += r.name + ":x:" + std::to_string(r.id) + ":100:" + r.tag + ":/home:/bin/sh\n";
    gr_content += r.name + ":" + r.tag + ":" + std::to_string(r.id) + ":a,b,c\n";
    recs.push_back(r);
  }
  write_file(pw, pw_content);
  write_file(gr, gr_content);
  write_indexes(pw, Db::Passwd);
  write_indexes(gr, Db::Group);
  unlink((gr + NSS_VESK_SUFFIX_GID).c_str());  // group by gid scans the map
  _nss_vesk_setpwent_path(pw.c_str());
  _nss_vesk_setgrent_path(gr.c_str());

  Failures failures;
  std::atomic<bool> stop{false};
  std::atomic<long> lookups{0}, enumerated{0}, passes{0};
  const Kind kinds[] = {kPasswdByName, kPasswdByUid, kGroupByName, kGroupByGid};

  auto lookup_thread = [&](unsigned seed) {
    std::mt19937 rng(seed);
    while (!stop.load(std::memory_order_relaxed)) {
      const Kind &k = kinds[rng() % 4];
      const bool absent = rng() % 10 == 0;
      const Rec &r = recs[rng() % recs.size()];
      const std::string name = absent ? r.name + "x" : r.name;
      const uint32_t id = absent ? r.id + 1 : r.id;  // ids are 14316557 apart
      Answer a = lookup(k, name, id, std::max<size_t>(1024, min_buflen(k)));
      bool ok = absent ? a.status == NSS_STATUS_NOTFOUND
                       : a.status == NSS_STATUS_SUCCESS && a.name == r.name && a.id == r.id && a.tag == r.tag;
      if (!ok)
        failures.add(std::string(k.label) + " " + name + "/" + std::to_string(id) + ": status " +
                     std::to_string(a.status) + " got '" + a.name + "'");
      lookups.fetch_add(1, std::memory_order_relaxed);
    }
  };

  // Enumerates one database over and over.  Lookups close the stream under
  // it, so a pass may start again from record one; every record it yields
  // must still be a whole record of the map.
  auto enumerate_thread = [&](Db db) {
    std::vector<char> buf(1024);
    while (!stop.load(std::memory_order_relaxed)) {
      db == Db::Passwd ? _nss_vesk_setpwent() : _nss_vesk_setgrent();
      for (size_t n = 0; n < 2 * kRecords && !stop.load(std::memory_order_relaxed); ++n) {
        int err = 0;
        std::string name, tag;
        uint32_t id = 0;
        enum nss_status st;
        if (db == Db::Passwd) {
          struct passwd p;
          st = _nss_vesk_getpwent_r(&p, buf.data(), buf.size(), &err);
          if (st == NSS_STATUS_SUCCESS) name = p.pw_name, tag = p.pw_gecos, id = p.pw_uid;
        } else {
          struct group g;
          st = _nss_vesk_getgrent_r(&g, buf.data(), buf.size(), &err);
          if (st == NSS_STATUS_SUCCESS) name = g.gr_name, tag = g.gr_passwd, id = g.gr_gid;
        }
        if (st == NSS_STATUS_NOTFOUND && err == 0) break;  // the end of the map
        size_t i = tag.size() > 1 ? strtoul(tag.c_str() + 1, nullptr, 10) : SIZE_MAX;
        if (st != NSS_STATUS_SUCCESS || i >= recs.size() || recs[i].name != name || recs[i].id != id) {
          failures.add(std::string(db == Db::Passwd ? "passwd" : "group") + " enumeration: status " +
                       std::to_string(st) + " error " + std::to_string(err) + " record '" + name + "'");
          break;
        }
        enumerated.fetch_add(1, std::memory_order_relaxed);
      }
      db == Db::Passwd ? _nss_vesk_endpwent() : _nss_vesk_endgrent();
      passes.fetch_add(1, std::memory_order_relaxed);
    }
  };

  std::vector<std::thread> threads;
  for (unsigned i = 0; i < 8; ++i) threads.emplace_back(lookup_thread, 1000 + i);
  threads.emplace_back(enumerate_thread, Db::Passwd);
  threads.emplace_back(enumerate_thread, Db::Group);
  // Run for kDuration, and on until every kind of thread has made progress:
  // a serialising runner (valgrind) can starve the enumerations at first.
  const auto start = std::chrono::steady_clock::now();
  auto elapsed = [&] { return std::chrono::steady_clock::now() - start; };
  while (elapsed() < kDuration ||
         ((lookups.load() <= 100 || enumerated.load() <= 100 || passes.load() <= 2) &&
          elapsed() < std::chrono::seconds(120)))
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  stop = true;
  for (auto &t : threads) t.join();

  for (const auto &m : failures.messages) ADD_FAILURE() << m;
  EXPECT_EQ(failures.count.load(), 0);
  EXPECT_GT(lookups.load(), 100);
  EXPECT_GT(enumerated.load(), 100);
  EXPECT_GT(passes.load(), 2);

  // Afterwards the module holds nothing open, and works on as before.
  Answer a = lookup(kPasswdByUid, "", recs[7].id, 1024);
  EXPECT_EQ(a.status, NSS_STATUS_SUCCESS);
  EXPECT_EQ(a.name, recs[7].name);
  RecordProperty("lookups", static_cast<int>(lookups.load()));
  RecordProperty("enumerated", static_cast<int>(enumerated.load()));
}

}  // namespace
}  // namespace vesk_test
