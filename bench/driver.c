/* vesk-bench-driver: times lookups through glibc's name-service switch (or,
 * with --direct, straight into the module's exported functions).
 *
 *   vesk-bench-driver [options] OP KEYS
 *     OP       getpwnam getpwuid getgrnam getgrgid getgrouplist getpwent getgrent
 *     KEYS     keys.tsv from vesk-bench-gen
 *   options
 *     --max N      at most N timed calls (keyed ops; default 1000)
 *     --min N      at least N timed calls before the budget may stop the run (default 20)
 *     --budget S   stop after S seconds once --min calls are done (default 5)
 *     --reps N     full enumerations to time (getpwent, getgrent; default 3)
 *     --direct SO  call _nss_vesk_* in module SO instead of going through glibc
 *     --distinct   skip keys already looked up by this run, so each call is
 *                  the first for its key (a caching daemon's cold lookups);
 *                  the untimed first call then asks for a key no map holds
 *
 * Which module answers is up to nsswitch.conf (the comparison runs each
 * module in its own mount namespace).  Every call gets a 2 MiB buffer, so
 * the module's 1 MiB minimum for group lookups by gid is met.  One untimed
 * call comes first (glibc loads the module on it).  Prints one summary line
 * (see timing.h); every key must resolve, or the exit status is 1.
 *
 * When a malloc counter is preloaded (vesk-alloc-count.so), the heap
 * allocations made by the timed calls are counted and reported too. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <grp.h>
#include <nss.h>
#include <pwd.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "timing.h"

typedef enum nss_status (*pwnam_fn)(const char *, struct passwd *, char *, size_t, int *);
typedef enum nss_status (*pwuid_fn)(uid_t, struct passwd *, char *, size_t, int *);
typedef enum nss_status (*grnam_fn)(const char *, struct group *, char *, size_t, int *);
typedef enum nss_status (*grgid_fn)(gid_t, struct group *, char *, size_t, int *);
typedef enum nss_status (*set_fn)(void);
typedef enum nss_status (*pwent_fn)(struct passwd *, char *, size_t, int *);
typedef enum nss_status (*grent_fn)(struct group *, char *, size_t, int *);

static struct {
  pwnam_fn pwnam;
  pwuid_fn pwuid;
  grnam_fn grnam;
  grgid_fn grgid;
  set_fn setpw, endpw, setgr, endgr;
  pwent_fn pwent;
  grent_fn grent;
} direct;
static int use_direct;

enum { kBufLen = 2 << 20 };
static char buffer[kBufLen];

static void *must_sym(void *handle, const char *name) {
  void *p = dlsym(handle, name);
  if (p == NULL) {
    fprintf(stderr, "vesk-bench-driver: %s: %s\n", name, dlerror());
    exit(2);
  }
  return p;
}

static void load_direct(const char *path) {
  void *h = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (h == NULL) {
    fprintf(stderr, "vesk-bench-driver: %s\n", dlerror());
    exit(2);
  }
  direct.pwnam = (pwnam_fn)must_sym(h, "_nss_vesk_getpwnam_r");
  direct.pwuid = (pwuid_fn)must_sym(h, "_nss_vesk_getpwuid_r");
  direct.grnam = (grnam_fn)must_sym(h, "_nss_vesk_getgrnam_r");
  direct.grgid = (grgid_fn)must_sym(h, "_nss_vesk_getgrgid_r");
  direct.setpw = (set_fn)must_sym(h, "_nss_vesk_setpwent");
  direct.endpw = (set_fn)must_sym(h, "_nss_vesk_endpwent");
  direct.setgr = (set_fn)must_sym(h, "_nss_vesk_setgrent");
  direct.endgr = (set_fn)must_sym(h, "_nss_vesk_endgrent");
  direct.pwent = (pwent_fn)must_sym(h, "_nss_vesk_getpwent_r");
  direct.grent = (grent_fn)must_sym(h, "_nss_vesk_getgrent_r");
  use_direct = 1;
}

/* One keyed call; returns 1 when the key resolved to the record asked for. */
static int lookup(const char *op, const struct bench_key *k, long *extra) {
  struct passwd pw, *pwp = NULL;
  struct group gr, *grp = NULL;
  int err = 0;
  if (strcmp(op, "getpwnam") == 0) {
    if (use_direct) return direct.pwnam(k->user, &pw, buffer, kBufLen, &err) == NSS_STATUS_SUCCESS;
    return getpwnam_r(k->user, &pw, buffer, kBufLen, &pwp) == 0 && pwp != NULL &&
           pwp->pw_uid == k->uid;
  }
  if (strcmp(op, "getpwuid") == 0) {
    if (use_direct) return direct.pwuid(k->uid, &pw, buffer, kBufLen, &err) == NSS_STATUS_SUCCESS;
    return getpwuid_r(k->uid, &pw, buffer, kBufLen, &pwp) == 0 && pwp != NULL &&
           strcmp(pwp->pw_name, k->user) == 0;
  }
  if (strcmp(op, "getgrnam") == 0) {
    if (use_direct) return direct.grnam(k->group, &gr, buffer, kBufLen, &err) == NSS_STATUS_SUCCESS;
    return getgrnam_r(k->group, &gr, buffer, kBufLen, &grp) == 0 && grp != NULL &&
           grp->gr_gid == k->gid;
  }
  if (strcmp(op, "getgrgid") == 0) {
    if (use_direct) return direct.grgid(k->gid, &gr, buffer, kBufLen, &err) == NSS_STATUS_SUCCESS;
    return getgrgid_r(k->gid, &gr, buffer, kBufLen, &grp) == 0 && grp != NULL &&
           strcmp(grp->gr_name, k->group) == 0;
  }
  if (strcmp(op, "getgrouplist") == 0) {
    gid_t groups[4096];
    int n = 4096;
    if (getgrouplist(k->user, k->user_gid, groups, &n) < 0) return 0;
    *extra += n;
    /* The primary group is in the list: first from glibc's own merge, at
     * the end from nscd's. */
    for (int g = 0; g < n; ++g)
      if (groups[g] == k->user_gid) return 1;
    return 0;
  }
  fprintf(stderr, "vesk-bench-driver: unknown operation %s\n", op);
  exit(2);
}

/* One full enumeration; returns the number of records. */
static size_t enumerate(int group) {
  size_t n = 0;
  int err = 0;
  if (group) {
    struct group gr, *grp;
    if (use_direct) {
      direct.setgr();
      while (direct.grent(&gr, buffer, kBufLen, &err) == NSS_STATUS_SUCCESS) ++n;
      direct.endgr();
    } else {
      setgrent();
      while (getgrent_r(&gr, buffer, kBufLen, &grp) == 0) ++n;
      endgrent();
    }
  } else {
    struct passwd pw, *pwp;
    if (use_direct) {
      direct.setpw();
      while (direct.pwent(&pw, buffer, kBufLen, &err) == NSS_STATUS_SUCCESS) ++n;
      direct.endpw();
    } else {
      setpwent();
      while (getpwent_r(&pw, buffer, kBufLen, &pwp) == 0) ++n;
      endpwent();
    }
  }
  return n;
}

/* Drops the keys whose user (the user operations) or group (the group
 * operations) came before, keeping at most `max`; the generated names and
 * ids are one to one, so the id tells the key. */
static void keep_distinct(const char *op, struct bench_keys *keys, size_t max) {
  int by_user = op[3] == 'p' || strcmp(op, "getgrouplist") == 0;
  size_t slots = 1;
  while (slots < 2 * keys->count) slots <<= 1;
  unsigned *seen = calloc(slots, sizeof *seen); /* id + 1; 0 is empty */
  if (seen == NULL) exit(2);
  size_t kept = 0;
  for (size_t i = 0; i < keys->count && kept < max; ++i) {
    unsigned id = by_user ? keys->keys[i].uid : keys->keys[i].gid;
    size_t h = (size_t)id * 2654435761u & (slots - 1);
    while (seen[h] != 0 && seen[h] != id + 1) h = (h + 1) & (slots - 1);
    if (seen[h] != 0) continue;
    seen[h] = id + 1;
    keys->keys[kept++] = keys->keys[i];
  }
  keys->count = kept;
  free(seen);
}

typedef void (*alloc_start_fn)(void);
typedef unsigned long (*alloc_stop_fn)(unsigned long *bytes, unsigned long *frees,
                                       size_t *sizes, size_t max_sizes);

int main(int argc, char **argv) {
  size_t max = 1000, min = 20, reps = 3;
  double budget = 5.0;
  int distinct = 0;
  int i = 1;
  for (; i < argc && strncmp(argv[i], "--", 2) == 0; i += 2) {
    if (strcmp(argv[i], "--distinct") == 0) {
      distinct = 1;
      --i;
      continue;
    }
    if (i + 1 >= argc) break;
    if (strcmp(argv[i], "--max") == 0) max = strtoull(argv[i + 1], NULL, 10);
    else if (strcmp(argv[i], "--min") == 0) min = strtoull(argv[i + 1], NULL, 10);
    else if (strcmp(argv[i], "--reps") == 0) reps = strtoull(argv[i + 1], NULL, 10);
    else if (strcmp(argv[i], "--budget") == 0) budget = strtod(argv[i + 1], NULL);
    else if (strcmp(argv[i], "--direct") == 0) load_direct(argv[i + 1]);
    else break;
  }
  if (argc - i != 2) {
    fprintf(stderr, "usage: %s [--max N] [--min N] [--budget S] [--reps N] [--direct SO] [--distinct] OP KEYS\n",
            argv[0]);
    return 2;
  }
  const char *op = argv[i];
  struct bench_keys keys;
  /* --distinct reads the whole list and keeps the first `max` distinct keys. */
  if (bench_read_keys(argv[i + 1], distinct ? SIZE_MAX : max, &keys) != 0 || keys.count == 0) {
    fprintf(stderr, "vesk-bench-driver: no keys in %s\n", argv[i + 1]);
    return 2;
  }
  if (distinct) keep_distinct(op, &keys, max);
  alloc_start_fn alloc_start = (alloc_start_fn)dlsym(RTLD_DEFAULT, "vesk_alloc_start");
  alloc_stop_fn alloc_stop = (alloc_stop_fn)dlsym(RTLD_DEFAULT, "vesk_alloc_stop");

  int is_enum = strcmp(op, "getpwent") == 0 || strcmp(op, "getgrent") == 0;
  int group = strcmp(op, "getgrent") == 0;
  size_t calls = is_enum ? (reps ? reps : 1) : keys.count;
  double *ns = calloc(calls, sizeof *ns);
  if (ns == NULL) return 2;
  long extra_total = 0;
  char extra[512] = "";

  /* Untimed first call: module loading, nsswitch.conf parsing. */
  if (is_enum) {
    if (use_direct) {
      if (group) direct.setgr(), direct.endgr();
      else direct.setpw(), direct.endpw();
    } else if (group) {
      setgrent(), endgrent();
    } else {
      setpwent(), endpwent();
    }
  } else {
    long ignored = 0;
    struct bench_key absent = {"vesk-bench-absent", 1, 1, "vesk-bench-absent", 1};
    lookup(op, distinct ? &absent : &keys.keys[0], &ignored);
  }
  long rss_before = bench_status_kib("VmRSS");

  size_t n = 0, found = 0, records = 0;
  double start = bench_now_ns();
  if (alloc_start) alloc_start();
  for (; n < calls; ++n) {
    if (n >= min && bench_now_ns() - start > budget * 1e9) break;
    double t0 = bench_now_ns();
    if (is_enum) {
      records = enumerate(group);
      found += records > 0;
    } else {
      found += lookup(op, &keys.keys[n], &extra_total);
    }
    ns[n] = bench_now_ns() - t0;
  }
  if (alloc_stop) {
    unsigned long bytes = 0, frees = 0;
    size_t sizes[8] = {0};
    unsigned long allocs = alloc_stop(&bytes, &frees, sizes, 8);
    int len = snprintf(extra, sizeof extra, "allocs_per_call=%.3f\tbytes_per_call=%.1f\tfrees_per_call=%.3f\tfirst_sizes=",
                       n ? (double)allocs / (double)n : 0.0, n ? (double)bytes / (double)n : 0.0,
                       n ? (double)frees / (double)n : 0.0);
    for (size_t s = 0; s < 8 && sizes[s] && len < (int)sizeof extra - 24; ++s)
      len += snprintf(extra + len, sizeof extra - (size_t)len, "%s%zu", s ? "," : "", sizes[s]);
  }
  if (is_enum) {
    size_t len = strlen(extra);
    snprintf(extra + len, sizeof extra - len, "%srecords=%zu", len ? "\t" : "", records);
  } else if (strcmp(op, "getgrouplist") == 0) {
    size_t len = strlen(extra);
    snprintf(extra + len, sizeof extra - len, "%smean_groups=%.2f", len ? "\t" : "",
             n ? (double)extra_total / (double)n : 0.0);
  }
  bench_report(op, ns, n, found, rss_before, extra);
  return found == n ? 0 : 1;
}
