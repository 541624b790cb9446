// vesk-bench-keys MAP COMMAND [ROUNDS]: the cost of sshd's AuthorizedKeysCommand
// on a map of vesk-bench-keys-gen.
//
// 1. The lookup, in this process (the command's own code): ROUNDS random
//    users, each timed alone; median and 99th percentile.
// 2. A whole run of COMMAND (exec to exit, stdout to /dev/null, as sshd
//    starts it) against a run of /bin/true, interleaved one by one so both
//    see the same machine; medians and their ratio.
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "keys/keys_lookup.h"

extern char **environ;

namespace {

uint64_t now_ns() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

double percentile(std::vector<uint64_t> v, double p) {
  std::sort(v.begin(), v.end());
  return static_cast<double>(v[static_cast<size_t>(p * static_cast<double>(v.size() - 1))]);
}

uint64_t cpu_ns() {
  struct timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

uint64_t tv_ns(const struct timeval &tv) {
  return static_cast<uint64_t>(tv.tv_sec) * 1000000000u + static_cast<uint64_t>(tv.tv_usec) * 1000u;
}

// Spawns and reaps one run: its wall time (returned) and the CPU time the
// child used (*cpu; user + system, which a loaded machine does not inflate).
uint64_t run(const char *path, std::vector<std::string> args, posix_spawn_file_actions_t *fa,
             uint64_t *cpu) {
  std::vector<char *> argv;
  for (auto &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  uint64_t t0 = now_ns();
  pid_t pid;
  if (posix_spawn(&pid, path, fa, nullptr, argv.data(), environ) != 0) {
    perror(path);
    exit(1);
  }
  int status;
  struct rusage ru;
  wait4(pid, &status, 0, &ru);
  uint64_t t = now_ns() - t0;
  *cpu = tv_ns(ru.ru_utime) + tv_ns(ru.ru_stime);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    fprintf(stderr, "%s failed\n", path);
    exit(1);
  }
  return t;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: vesk-bench-keys MAP COMMAND [ROUNDS]\n");
    return 2;
  }
  const char *map = argv[1], *command = argv[2];
  int rounds = argc > 3 ? atoi(argv[3]) : 2000;
  // Users: count the index records (one per user).
  struct stat st;
  std::string index = std::string(map) + ".ixname";
  if (stat(index.c_str(), &st) != 0) {
    perror(index.c_str());
    return 1;
  }
  FILE *f = fopen(index.c_str(), "r");
  int len = 0;
  for (int c; (c = fgetc(f)) != EOF && c != '\n';) ++len;
  fclose(f);
  unsigned long users = static_cast<unsigned long>(st.st_size) / static_cast<unsigned long>(len + 1);
  srand(7);
  auto pick = [&](char *name, unsigned long *uid) {
    unsigned long u = 1 + static_cast<unsigned long>(rand()) % users;
    snprintf(name, 32, "u%07lu", u);
    *uid = 100000 + u;
  };

  std::vector<uint64_t> lookups, lookups_cpu;
  size_t keys = 0;
  for (int i = 0; i < rounds * 5; ++i) {
    char name[32];
    unsigned long uid;
    pick(name, &uid);
    vesk::keys::KeysAnswer out;
    uint64_t c0 = cpu_ns(), t0 = now_ns();
    int rc = vesk::keys::lookup_keys(map, name, static_cast<uint32_t>(uid), &out);
    lookups.push_back(now_ns() - t0);
    lookups_cpu.push_back(cpu_ns() - c0);
    if (rc != 0 || out.len == 0) {
      fprintf(stderr, "no keys for %s\n", name);
      return 1;
    }
    keys += static_cast<size_t>(std::count(out.data, out.data + out.len, '\n'));
    free(out.data);
  }

  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  std::vector<uint64_t> truth, cmd, truth_cpu, cmd_cpu;
  uint64_t cpu;
  for (int i = 0; i < 50; ++i) run("/bin/true", {"true"}, &fa, &cpu);  // warm up
  for (int i = 0; i < rounds; ++i) {
    char name[32];
    unsigned long uid;
    pick(name, &uid);
    truth.push_back(run("/bin/true", {"true"}, &fa, &cpu));
    truth_cpu.push_back(cpu);
    cmd.push_back(run(command, {"authorized-keys", "--map", map, name, std::to_string(uid)}, &fa, &cpu));
    cmd_cpu.push_back(cpu);
  }
  double t = percentile(truth, 0.5), c = percentile(cmd, 0.5);
  double tc = percentile(truth_cpu, 0.5), cc = percentile(cmd_cpu, 0.5);
  printf("users %lu, keys per lookup %.2f, rounds %d\n", users,
         static_cast<double>(keys) / static_cast<double>(lookups.size()), rounds);
  printf("%-26s %12s %12s %12s\n", "", "wall median", "wall p99", "CPU median");
  printf("%-26s %9.1f us %9.1f us %9.1f us\n", "lookup (in process)", percentile(lookups, 0.5) / 1e3,
         percentile(lookups, 0.99) / 1e3, percentile(lookups_cpu, 0.5) / 1e3);
  printf("%-26s %9.1f us %9.1f us %9.1f us\n", "run of /bin/true", t / 1e3,
         percentile(truth, 0.99) / 1e3, tc / 1e3);
  printf("%-26s %9.1f us %9.1f us %9.1f us\n", "run of authorized-keys", c / 1e3,
         percentile(cmd, 0.99) / 1e3, cc / 1e3);
  printf("%-26s %9.2f    %12s %9.2f\n", "ratio run / /bin/true", c / t, "", tc > 0 ? cc / tc : 0.0);
  return 0;
}
