// Files replaced underneath: a writer renames new generations of both maps
// and their indexes into place in a loop, as a sync tool does (or has
// "vesk-index build" or "install" do it), while eight threads look up by
// name and id and two threads enumerate.  Every record carries its
// generation in two fields, so a record stitched together from two
// generations, or read from the middle of a line, shows.  Users and groups
// come and go between generations: every answer must be right for a
// generation current at some moment during the lookup, and one that exists
// in all of those is never "not found".  Afterwards the process's
// descriptors and mappings are back to baseline.
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <malloc.h>
#include <pwd.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "nss_vesk.h"
#include "test_support.h"

extern char **environ;

using namespace vesk_test;

namespace {

constexpr int kUsers = 60;
constexpr int kGroups = 20;
constexpr uint32_t kUid0 = 20000;
constexpr uint32_t kGid0 = 30000;

double duration_seconds() {
  const char *s = getenv("VESK_REPLACE_SECONDS");
  if (s != nullptr && *s != '\0') return atof(s);
  return kSanitized ? 5.0 : 30.0;
}

// Whether user or group i is in generation `gen`: about a tenth are not.
bool present(unsigned gen, int i) { return (gen + static_cast<unsigned>(i)) % 5 != 0 || i % 2 != 0; }

// Generation `gen` of the passwd map: user i is "u<i>", uid kUid0 + i, with
// the generation in the comment ("gen G" and filler whose length changes
// from one generation to the next, so offsets move) and in the home
// directory ("/home/u<i>/G").  The order of the lines rotates too.
std::string passwd_map(unsigned gen) {
  std::string out = "# generation " + std::to_string(gen) + "\n";
  for (int k = 0; k < kUsers; ++k) {
    int i = static_cast<int>((static_cast<unsigned>(k) + gen) % kUsers);
    if (!present(gen, i)) continue;
    std::string g = std::to_string(gen);
    out += "u" + std::to_string(i) + ":x:" + std::to_string(kUid0 + i) + ":" +
           std::to_string(kGid0 + i % kGroups) + ":gen " + g + std::string((gen * 7 + i) % 13, '.') +
           ":/home/u" + std::to_string(i) + "/" + g + ":/bin/sh\n";
  }
  return out;
}

// Group j is "g<j>", gid kGid0 + j; its members are "u<j>" and "gen<G>"
// with filler whose length changes from one generation to the next.
std::string group_map(unsigned gen) {
  std::string out;
  for (int k = 0; k < kGroups; ++k) {
    int j = static_cast<int>((static_cast<unsigned>(k) + gen) % kGroups);
    if (!present(gen, j)) continue;
    std::string g = std::to_string(gen);
    out += "g" + std::to_string(j) + ":x:" + std::to_string(kGid0 + j) + ":u" + std::to_string(j) +
           ",gen" + g + std::string((gen * 3 + j) % 7, 'x') + "\n";
  }
  return out;
}

// The generation a passwd record claims, or -1 when its fields disagree
// with each other or with user `i`, or that generation lacks the user.
long passwd_generation(const struct passwd &p, int i) {
  if (std::string(p.pw_name) != "u" + std::to_string(i) || p.pw_uid != kUid0 + i ||
      p.pw_gid != kGid0 + i % kGroups)
    return -1;
  unsigned long gen;
  int used = 0;
  if (sscanf(p.pw_gecos, "gen %lu%n", &gen, &used) != 1) return -1;
  std::string g = std::to_string(gen);
  if (std::string(p.pw_gecos + used) != std::string((gen * 7 + i) % 13, '.')) return -1;
  if (std::string(p.pw_dir) != "/home/u" + std::to_string(i) + "/" + g) return -1;
  if (std::string(p.pw_shell) != "/bin/sh") return -1;
  return present(static_cast<unsigned>(gen), i) ? static_cast<long>(gen) : -1;
}

long group_generation(const struct group &gr, int j) {
  if (std::string(gr.gr_name) != "g" + std::to_string(j) || gr.gr_gid != kGid0 + j) return -1;
  unsigned long gen;
  int used = 0;
  if (std::string(gr.gr_passwd) != "x") return -1;
  if (gr.gr_mem[0] == nullptr || gr.gr_mem[1] == nullptr || gr.gr_mem[2] != nullptr) return -1;
  if (std::string(gr.gr_mem[0]) != "u" + std::to_string(j)) return -1;
  if (sscanf(gr.gr_mem[1], "gen%lu%n", &gen, &used) != 1) return -1;
  if (std::string(gr.gr_mem[1] + used) != std::string((gen * 3 + j) % 7, 'x')) return -1;
  return present(static_cast<unsigned>(gen), j) ? static_cast<long>(gen) : -1;
}

int index_of(const char *name) { return atoi(name + 1); }

struct Counts {
  std::atomic<long> lookups{0}, found{0}, notfound{0}, unavail{0}, tryagain{0};
  std::atomic<long> enumerated{0}, enum_passes{0}, inconsistent{0};
  std::atomic<long> generations{0}, tool_runs{0}, tool_failures{0}, installs{0};
  // Generations [committed, started] are on disk, in part or whole.
  std::atomic<long> started{0}, committed{0};
};

class Replace : public ::testing::Test {
 protected:
  TempDir dir;
  std::string pw = dir.file("passwd.vesk");
  std::string gr = dir.file("group.vesk");
  Counts counts;

  void SetUp() override {
    write_generation(0, 0);
    _nss_vesk_setpwent_path(pw.c_str());
    _nss_vesk_setgrent_path(gr.c_str());
  }
  void TearDown() override {
    _nss_vesk_setpwent_path(NSS_VESK_PASSWD_MAP);
    _nss_vesk_setgrent_path(NSS_VESK_GROUP_MAP);
  }

  void replace(const std::string &path, const std::string &content) {
    std::string tmp = path + ".new";
    write_file(tmp, content);
    ASSERT_EQ(rename(tmp.c_str(), path.c_str()), 0);
  }

  // Writes generation `gen`.  Mode 0: map, then indexes; mode 1: indexes,
  // then map (an old map beside new indexes for a moment); mode 2: the map,
  // then the index tool builds the indexes; mode 3: the maps are staged as
  // MAP.new and the index tool installs them.
  void write_generation(unsigned gen, int mode) {
    counts.started = gen;
    const std::string pmap = passwd_map(gen), gmap = group_map(gen);
    if (mode == 3) {
      write_file(pw + ".new", pmap);
      write_file(gr + ".new", gmap);
      run_index_tool({"install", "--passwd", pw, "--group", gr});
      ++counts.installs;
      ++counts.generations;
      counts.committed = gen;
      return;
    }
    auto indexes = [&] {
      replace(pw + ".ixname", index_bytes(map_entries(pmap, Db::Passwd, Key::Name)));
      replace(pw + ".ixuid", index_bytes(map_entries(pmap, Db::Passwd, Key::Id)));
      replace(gr + ".ixname", index_bytes(map_entries(gmap, Db::Group, Key::Name)));
      replace(gr + ".ixgid", index_bytes(map_entries(gmap, Db::Group, Key::Id)));
    };
    if (mode == 1) indexes();
    replace(pw, pmap);
    replace(gr, gmap);
    if (mode == 0) indexes();
    if (mode == 2) run_index_tool({"build", "--passwd", pw, "--group", gr});
    ++counts.generations;
    counts.committed = gen;
  }

  void run_index_tool(std::vector<std::string> args) {
#ifdef VESK_INDEX_TOOL
    args.insert(args.begin(), VESK_INDEX_TOOL);
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid;
    ++counts.tool_runs;
    posix_spawn_file_actions_t quiet;  // the install summary
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
    int rc = posix_spawn(&pid, argv[0], &quiet, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&quiet);
    if (rc != 0) {
      ++counts.tool_failures;
      return;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) ++counts.tool_failures;
#else
    (void)args;
#endif
  }

  void writer(const std::atomic<bool> &stop, unsigned seed) {
    std::mt19937 rng(seed);
    unsigned gen = static_cast<unsigned>(counts.started.load()) + 1;  // on from the last run
    while (!stop.load()) {
      int mode = static_cast<int>(rng() % 8);
      mode = mode == 0 ? 2 : mode < 3 ? 3 : mode < 5 ? 1 : 0;
#ifndef VESK_INDEX_TOOL
      if (mode >= 2) mode = 0;
#endif
      write_generation(gen++, mode);
      std::this_thread::sleep_for(std::chrono::microseconds(rng() % 2000));
    }
  }

  // A lookup of user or group i that began while generation `first` was
  // committed and ended while `last` was being written.
  void record(enum nss_status s, long gen, int i, long first, long last) {
    ++counts.lookups;
    switch (s) {
      case NSS_STATUS_SUCCESS:
        ++counts.found;
        if (gen < first || gen > last) ++counts.inconsistent;
        break;
      case NSS_STATUS_NOTFOUND: {
        ++counts.notfound;
        bool absent_somewhere = false;
        for (long g = first; g <= last; ++g)
          absent_somewhere = absent_somewhere || !present(static_cast<unsigned>(g), i);
        if (!absent_somewhere) ++counts.inconsistent;
        break;
      }
      case NSS_STATUS_UNAVAIL: ++counts.unavail; break;
      case NSS_STATUS_TRYAGAIN: ++counts.tryagain; break;
      default: ++counts.inconsistent; break;
    }
  }

  void looker(const std::atomic<bool> &stop, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<char> buffer(NSS_VESK_GRGID_MIN_BUFLEN);
    while (!stop.load()) {
      struct passwd p;
      struct group g;
      int err = 0;
      int i = static_cast<int>(rng() % kUsers), j = static_cast<int>(rng() % kGroups);
      std::string user = "u" + std::to_string(i), grp = "g" + std::to_string(j);
      enum nss_status s;
      long first = counts.committed.load();
      switch (rng() % 4) {
        case 0:
          s = _nss_vesk_getpwnam_r(user.c_str(), &p, buffer.data(), 4096, &err);
          record(s, s == NSS_STATUS_SUCCESS ? passwd_generation(p, i) : 0, i, first,
                 counts.started.load());
          break;
        case 1:
          s = _nss_vesk_getpwuid_r(kUid0 + i, &p, buffer.data(), 4096, &err);
          record(s, s == NSS_STATUS_SUCCESS ? passwd_generation(p, i) : 0, i, first,
                 counts.started.load());
          break;
        case 2:
          s = _nss_vesk_getgrnam_r(grp.c_str(), &g, buffer.data(), 4096, &err);
          record(s, s == NSS_STATUS_SUCCESS ? group_generation(g, j) : 0, j, first,
                 counts.started.load());
          break;
        default:
          s = _nss_vesk_getgrgid_r(kGid0 + j, &g, buffer.data(), buffer.size(), &err);
          record(s, s == NSS_STATUS_SUCCESS ? group_generation(g, j) : 0, j, first,
                 counts.started.load());
          break;
      }
    }
  }

  void enumerator(const std::atomic<bool> &stop, bool group) {
    std::vector<char> buffer(4096);
    while (!stop.load()) {
      // A keyed lookup in another thread ends the enumeration, which then
      // starts over: bound one pass by a generous number of steps.
      if (group) {
        _nss_vesk_setgrent();
      } else {
        _nss_vesk_setpwent();
      }
      for (int step = 0; step < 50 * (kUsers + kGroups) && !stop.load(); ++step) {
        int err = 0;
        enum nss_status s;
        long gen;
        if (group) {
          struct group g;
          s = _nss_vesk_getgrent_r(&g, buffer.data(), buffer.size(), &err);
          gen = s == NSS_STATUS_SUCCESS ? group_generation(g, index_of(g.gr_name)) : 0;
        } else {
          struct passwd p;
          s = _nss_vesk_getpwent_r(&p, buffer.data(), buffer.size(), &err);
          gen = s == NSS_STATUS_SUCCESS ? passwd_generation(p, index_of(p.pw_name)) : 0;
        }
        if (s != NSS_STATUS_SUCCESS) {
          if (s != NSS_STATUS_NOTFOUND || err != 0) ++counts.inconsistent;
          break;
        }
        ++counts.enumerated;
        if (gen < 0) ++counts.inconsistent;
      }
      ++counts.enum_passes;
      if (group) {
        _nss_vesk_endgrent();
      } else {
        _nss_vesk_endpwent();
      }
    }
  }

  // Eight lookup threads, two enumerating threads and the writer for
  // `seconds`.
  void run(double seconds, unsigned seed) {
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    threads.emplace_back([&] { writer(stop, seed); });
    for (unsigned t = 0; t < 8; ++t) threads.emplace_back([&, t] { looker(stop, seed * 100 + t); });
    threads.emplace_back([&] { enumerator(stop, false); });
    threads.emplace_back([&] { enumerator(stop, true); });
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop = true;
    for (auto &t : threads) t.join();
  }
};

TEST_F(Replace, EveryAnswerIsOneWholeGenerationAndNothingLeaks) {
  // One arena: a new malloc arena made by a thread would add mappings that
  // have nothing to do with the module.
  mallopt(M_ARENA_MAX, 1);
  run(0.5, 1);  // warm-up: thread stacks, stdio, locale, the loader
  counts.lookups = counts.found = counts.enumerated = counts.enum_passes = 0;
  counts.generations = counts.tool_runs = counts.tool_failures = counts.installs = 0;
  const int fds = count_open_fds();
  const int maps = count_mappings();

  const double seconds = duration_seconds();
  run(seconds, 2);

  const int fds_after = count_open_fds();
  const int maps_after = count_mappings();
  printf("replacement: %.1f s, %ld generations (%ld by the index tool, %ld of them installs, "
         "%ld failed), "
         "%ld lookups: %ld found, %ld not found, %ld unavailable, %ld try again; "
         "%ld records enumerated in %ld passes; %ld inconsistent; "
         "descriptors %d -> %d, mappings %d -> %d\n",
         seconds, counts.generations.load(), counts.tool_runs.load(), counts.installs.load(),
         counts.tool_failures.load(),
         counts.lookups.load(), counts.found.load(), counts.notfound.load(),
         counts.unavail.load(), counts.tryagain.load(), counts.enumerated.load(),
         counts.enum_passes.load(), counts.inconsistent.load(), fds, fds_after, maps, maps_after);
  RecordProperty("lookups", std::to_string(counts.lookups.load()));

  EXPECT_GT(counts.lookups.load(), 0);
  EXPECT_GT(counts.generations.load(), 1);
  EXPECT_EQ(counts.inconsistent.load(), 0);
  // A lookup that fails would lock someone out.
  EXPECT_EQ(counts.unavail.load() + counts.tryagain.load(), 0);
#ifdef VESK_INDEX_TOOL
  EXPECT_GT(counts.installs.load(), 0);
#endif
  EXPECT_EQ(counts.tool_failures.load(), 0);
  EXPECT_EQ(fds_after, fds);
  if (!kSanitized) {
    EXPECT_EQ(maps_after, maps);
  }
}

}  // namespace
