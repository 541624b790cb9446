// Differential test of the keyed lookups: random maps with duplicates, ids
// across the whole 32-bit range and names of every length, indexes written
// in the documented format, and many queries for present and absent keys.
// Every answer must be what a plain scan of the map gives:
//  - with fresh indexes: SUCCESS with one of the records holding the key
//    (the binary search may meet any of the duplicates), NOTFOUND when no
//    record holds it;
//  - with the indexes removed, or stale (from an earlier map, one second
//    older than the map): exactly the first record holding the key, or
//    NOTFOUND with the error number 0 (the scan ran to the map's end).
// Seeded and reproducible: VESK_TEST_SEED picks another seed.
#include <unistd.h>

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>

#include "lookup_support.h"

namespace vesk_test {
namespace {

constexpr time_t kMapTime = 1700000000;
constexpr size_t kRecords = 700;

uint64_t seed() {
  const char *s = getenv("VESK_TEST_SEED");
  return s != nullptr ? strtoull(s, nullptr, 0) : 0x5eed2026;
}

struct Rec {
  std::string name;
  uint32_t id;
  std::string tag;
};

struct Generator {
  std::mt19937_64 rng;
  explicit Generator(uint64_t s) : rng(s) {}
  size_t below(size_t n) { return static_cast<size_t>(rng() % n); }

  std::string name() {
    static const std::string plain = "abcdefghijklmnopqrstuvwxyz0123456789._";
    static const std::string upper = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    size_t len = below(4) == 0 ? 1 + below(32) : 1 + below(10);
    std::string n;
    for (size_t i = 0; i < len; ++i) {
      size_t pick = below(20);
      if (pick == 0) n += static_cast<char>(0x80 + below(0x80));  // high bytes sort last
      else if (pick <= 2) n += upper[below(upper.size())];
      else n += plain[below(plain.size())];
    }
    return n;
  }

  uint32_t id() {
    static const uint32_t special[] = {0, 1, 9, 10, 99, 100, 2147483647u, 2147483648u, 4294967294u, 4294967295u};
    switch (below(4)) {
      case 0: return special[below(std::size(special))];
      case 1: return static_cast<uint32_t>(below(2000));
      default: return static_cast<uint32_t>(rng());
    }
  }

  // Records with some repeated names and some repeated ids.
  std::vector<Rec> records(size_t count, const std::string &tag_prefix) {
    std::vector<Rec> recs;
    for (size_t i = 0; i < count; ++i) {
      Rec r{name(), id(), tag_prefix + std::to_string(i)};
      if (!recs.empty() && below(16) == 0) r.name = recs[below(recs.size())].name;
      if (!recs.empty() && below(16) == 0) r.id = recs[below(recs.size())].id;
      recs.push_back(r);
    }
    return recs;
  }
};

std::string map_content(const std::vector<Rec> &recs, Db db) {
  std::string out;
  for (const auto &r : recs) {
    if (db == Db::Passwd)
      out += r.name + ":x:" + std::to_string(r.id) + ":100:" + r.tag + ":/home:/bin/sh\n";
    else
      out += r.name + ":" + r.tag + ":" + std::to_string(r.id) + ":" + (r.id % 3 == 0 ? "m1,m2" : "") + "\n";
  }
  return out;
}

enum class Mode { Fresh, Removed, Stale };

class DifferentialTest : public ::testing::TestWithParam<std::tuple<Kind, Mode>> {
 protected:
  const Kind &kind() const { return std::get<0>(GetParam()); }
  Mode mode() const { return std::get<1>(GetParam()); }

  void run(size_t queries) {
    const uint64_t s = seed() ^ (static_cast<uint64_t>(kind().db) << 8) ^ static_cast<uint64_t>(kind().key);
    SCOPED_TRACE("seed " + std::to_string(seed()));
    Generator gen(s);
    TempDir dir;
    const std::string map = dir.file(kind().db == Db::Passwd ? "passwd" : "group");
    std::vector<Rec> recs = gen.records(kRecords, "r");

    if (mode() == Mode::Stale) {
      // Indexes of an earlier map: other records at other offsets.
      write_file(map, map_content(gen.records(kRecords, "old"), kind().db));
      set_mtime(map, kMapTime - 1);
      write_indexes(map, kind().db);
    }
    write_file(map, map_content(recs, kind().db));
    set_mtime(map, kMapTime);
    if (mode() == Mode::Fresh) write_indexes(map, kind().db);
    if (mode() == Mode::Removed) {
      unlink((map + ".ixname").c_str());
      unlink((map + (kind().db == Db::Passwd ? ".ixuid" : ".ixgid")).c_str());
    }
    ASSERT_EQ(map_entries(map_content(recs, kind().db), kind().db, Key::Name).size(), recs.size())
        << "every generated line must be a record";
    kind().db == Db::Passwd ? _nss_vesk_setpwent_path(map.c_str()) : _nss_vesk_setgrent_path(map.c_str());

    // The plain scan's view: record numbers holding each key, in map order.
    std::map<std::string, std::vector<size_t>> by_name;
    std::map<uint32_t, std::vector<size_t>> by_id;
    for (size_t i = 0; i < recs.size(); ++i) {
      by_name[recs[i].name].push_back(i);
      by_id[recs[i].id].push_back(i);
    }

    const size_t buflen = std::max<size_t>(4096, min_buflen(kind()));
    size_t present = 0, failures = 0;
    for (size_t q = 0; q < queries && failures < 10; ++q) {
      // Half the queries ask for a record's key, the rest for near misses
      // and random keys, which may or may not be present.
      std::string name;
      uint32_t id;
      const Rec &r = recs[gen.below(recs.size())];
      switch (gen.below(6)) {
        case 0: case 1: case 2: name = r.name; id = r.id; break;
        case 3: name = r.name.substr(0, r.name.size() - 1) + "#"; id = r.id + 1; break;
        case 4: name = r.name + r.name.substr(0, 1); id = ~r.id; break;
        default: name = gen.name(); id = gen.id(); break;
      }
      const std::vector<size_t> none;
      const std::vector<size_t> *holders = &none;
      if (kind().key == Key::Name) {
        if (auto it = by_name.find(name); it != by_name.end()) holders = &it->second;
      } else if (auto it = by_id.find(id); it != by_id.end()) {
        holders = &it->second;
      }

      Answer a = lookup(kind(), name, id, buflen);
      const std::string what = kind().key == Key::Name ? "name '" + name + "'" : "id " + std::to_string(id);
      bool ok;
      if (holders->empty()) {
        ok = a.status == NSS_STATUS_NOTFOUND && a.err == (mode() == Mode::Fresh ? kUntouched : 0);
      } else {
        ++present;
        ok = a.status == NSS_STATUS_SUCCESS && a.err == kUntouched;
        size_t got = SIZE_MAX;
        if (ok && a.tag.size() > 1 && a.tag[0] == 'r') got = strtoul(a.tag.c_str() + 1, nullptr, 10);
        if (mode() == Mode::Fresh)
          ok = ok && std::find(holders->begin(), holders->end(), got) != holders->end();
        else
          ok = ok && got == holders->front();
        ok = ok && got < recs.size() && a.name == recs[got].name && a.id == recs[got].id;
      }
      if (!ok) {
        ++failures;
        ADD_FAILURE() << "query " << q << ", " << what << ": status " << a.status << " error " << a.err
                      << " record '" << a.tag << "' (" << holders->size() << " records hold the key"
                      << (holders->empty() ? "" : ", first r" + std::to_string(holders->front())) << ")";
      }
    }
    EXPECT_GT(present, queries / 3);
  }
};

TEST_P(DifferentialTest, AnswersEqualThoseOfAPlainScan) { run(mode() == Mode::Fresh ? 8000 : 800); }

std::string case_name(const ::testing::TestParamInfo<std::tuple<Kind, Mode>> &info) {
  static const char *const modes[] = {"FreshIndexes", "NoIndexes", "StaleIndexes"};
  return std::string(std::get<0>(info.param).label) + "_" + modes[static_cast<int>(std::get<1>(info.param))];
}

INSTANTIATE_TEST_SUITE_P(
    AllLookups, DifferentialTest,
    ::testing::Combine(::testing::Values(kPasswdByName, kPasswdByUid, kGroupByName, kGroupByGid),
                       ::testing::Values(Mode::Fresh, Mode::Removed, Mode::Stale)),
    case_name);

}  // namespace
}  // namespace vesk_test
