/* Shared by the comparison driver and the floor program: the key list,
 * the timed loop over it and the summary line they print.
 *
 * A run resolves the first keys of the list, one call each, timed with
 * clock_gettime(CLOCK_MONOTONIC).  It stops after MAX keys, or once BUDGET
 * seconds have passed and at least MIN keys were resolved, so slow modules
 * see a prefix of the same key sequence as fast ones. */
#ifndef VESK_BENCH_TIMING_H
#define VESK_BENCH_TIMING_H

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>

struct bench_key {
  char user[64];
  unsigned uid;
  unsigned user_gid;
  char group[64];
  unsigned gid;
};

struct bench_keys {
  struct bench_key *keys;
  size_t count;
};

/* Reads keys.tsv as written by vesk-bench-gen; at most `max` keys (room
 * for all of them at once up to 131,072). */
static int bench_read_keys(const char *path, size_t max, struct bench_keys *out) {
  FILE *f = fopen(path, "r");
  if (f == NULL) return -1;
  size_t cap = 0;
  out->keys = NULL;
  out->count = 0;
  while (out->count < max) {
    if (out->count == cap) {
      cap = cap ? 2 * cap : max < ((size_t)1 << 17) ? (max ? max : 1) : (size_t)1 << 17;
      struct bench_key *grown = realloc(out->keys, cap * sizeof *grown);
      if (grown == NULL) {
        fclose(f);
        return -1;
      }
      out->keys = grown;
    }
    struct bench_key *k = &out->keys[out->count];
    if (fscanf(f, "%63s %u %u %63s %u", k->user, &k->uid, &k->user_gid, k->group, &k->gid) != 5)
      break;
    ++out->count;
  }
  fclose(f);
  return 0;
}

static double bench_now_ns(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec * 1e9 + (double)ts.tv_nsec;
}

static int bench_cmp_double(const void *a, const void *b) {
  double x = *(const double *)a, y = *(const double *)b;
  return x < y ? -1 : x > y;
}

/* Nearest-rank percentile of sorted values. */
static double bench_percentile(const double *sorted, size_t n, double p) {
  if (n == 0) return 0.0;
  size_t rank = (size_t)(p * (double)n + 0.999999);
  if (rank < 1) rank = 1;
  if (rank > n) rank = n;
  return sorted[rank - 1];
}

static long bench_status_kib(const char *field) {
  FILE *f = fopen("/proc/self/status", "r");
  if (f == NULL) return -1;
  char line[256];
  long value = -1;
  size_t len = strlen(field);
  while (fgets(line, sizeof line, f) != NULL) {
    if (strncmp(line, field, len) == 0 && line[len] == ':') {
      value = strtol(line + len + 1, NULL, 10);
      break;
    }
  }
  fclose(f);
  return value;
}

/* One summary line, tab-separated key=value pairs:
 *   op, n (timed calls), found, median_us, p90_us, mean_us, min_us,
 *   rss_kib (before the timed calls), maxrss_kib (peak of the process). */
static void bench_report(const char *op, double *ns, size_t n, size_t found, long rss_before,
                         const char *extra) {
  double sum = 0.0;
  for (size_t i = 0; i < n; ++i) sum += ns[i];
  qsort(ns, n, sizeof *ns, bench_cmp_double);
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  printf("op=%s\tn=%zu\tfound=%zu\tmedian_us=%.3f\tp90_us=%.3f\tmean_us=%.3f\tmin_us=%.3f"
         "\trss_kib=%ld\tmaxrss_kib=%ld%s%s\n",
         op, n, found, bench_percentile(ns, n, 0.5) / 1e3, bench_percentile(ns, n, 0.9) / 1e3,
         n ? sum / (double)n / 1e3 : 0.0, n ? ns[0] / 1e3 : 0.0, rss_before, ru.ru_maxrss,
         extra && *extra ? "\t" : "", extra ? extra : "");
}

#endif
