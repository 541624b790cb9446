// getgrouplist() through glibc's name-service switch, timed per call.
//
//   initgroups_bench generate MAP [USERS]
//       writes a group map: USERS users (default 1,000,000), USERS/10
//       groups "grp%06zu" with gids from 200000, five random members each.
//   initgroups_bench time SERVICE MAP CALLS USER...
//       serves the group database by SERVICE alone ("vesk": the module
//       found through LD_LIBRARY_PATH, reading MAP; anything else, such as
//       "files", reads its own files) and prints, for each of CALLS calls
//       cycling through the users (after one untimed call), its wall-clock
//       and its CPU milliseconds.  CPU time (user and system) is the steadier
//       figure on a machine shared with other work.
#include <dlfcn.h>
#include <grp.h>
#include <nss.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <string>
#include <vector>

namespace {

uint64_t next_random(uint64_t *state) {  // SplitMix64
  uint64_t z = (*state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

int generate(const char *path, size_t users) {
  FILE *out = fopen(path, "w");
  if (out == nullptr) {
    perror(path);
    return 1;
  }
  uint64_t state = 42;
  for (size_t g = 0; g < users / 10; ++g) {
    fprintf(out, "grp%06zu:x:%zu:", g, 200000 + g);
    for (int m = 0; m < 5; ++m)
      fprintf(out, "%suser%07zu", m ? "," : "", static_cast<size_t>(next_random(&state) % users));
    fputc('\n', out);
  }
  return fclose(out) == 0 ? 0 : 1;
}

double now_ms(clockid_t clock) {
  struct timespec ts;
  clock_gettime(clock, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

int time_calls(const char *service, const char *map, int calls, char **users, int user_count) {
  if (__nss_configure_lookup("group", service) != 0) {
    fprintf(stderr, "cannot configure service %s\n", service);
    return 1;
  }
  __nss_configure_lookup("initgroups", service);
  if (strcmp(service, "vesk") == 0) {
    void *module = dlopen("libnss_vesk.so.2", RTLD_NOW);
    auto set_path = module != nullptr
                        ? reinterpret_cast<void (*)(const char *)>(dlsym(module, "_nss_vesk_setgrent_path"))
                        : nullptr;
    if (set_path == nullptr) {
      fprintf(stderr, "libnss_vesk.so.2: %s\n", dlerror());
      return 1;
    }
    set_path(map);
  }
  std::vector<gid_t> groups(1024);
  long found = 0;
  for (int i = -1; i < calls; ++i) {
    const char *user = users[(i + 1) % user_count];
    int n = static_cast<int>(groups.size());
    double w0 = now_ms(CLOCK_MONOTONIC), c0 = now_ms(CLOCK_PROCESS_CPUTIME_ID);
    getgrouplist(user, 100, groups.data(), &n);
    double w1 = now_ms(CLOCK_MONOTONIC), c1 = now_ms(CLOCK_PROCESS_CPUTIME_ID);
    if (i < 0) {
      found = n;  // the untimed first call loads the module and warms the cache
      continue;
    }
    printf("%.4f %.4f\n", w1 - w0, c1 - c0);
  }
  fprintf(stderr, "%s: %s is in %ld groups\n", service, users[0], found);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc >= 3 && strcmp(argv[1], "generate") == 0)
    return generate(argv[2], argc > 3 ? strtoul(argv[3], nullptr, 10) : 1000000);
  if (argc >= 6 && strcmp(argv[1], "time") == 0)
    return time_calls(argv[2], argv[3], atoi(argv[4]), argv + 5, argc - 5);
  fprintf(stderr, "usage: %s generate MAP [USERS] | time SERVICE MAP CALLS USER...\n", argv[0]);
  return 2;
}
