/* vesk-bench-floor: the least an indexed lookup of this design can cost.
 *
 *   vesk-bench-floor [--max N] [--min N] [--budget S] [--dir DIR] OP KEYS
 *     OP   getpwnam getpwuid getgrnam getgrgid
 *     DIR  where passwd.vesk, group.vesk and their indexes are (default /etc)
 *
 * Each lookup makes exactly the system calls the indexed search needs and
 * nothing else: open the index, fstat it, stat the map, mmap the index,
 * binary search with strcmp, munmap, close; open the map, lseek to the
 * offset, one 4096-byte read (the size of the module's stream buffer),
 * close.  The record is only checked to start with the key's line, not
 * parsed into a struct passwd or struct group.  Prints the same summary
 * line as vesk-bench-driver. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "timing.h"

static int64_t parse_offset(const char *p, const char *end) {
  int64_t v = 0;
  while (p < end && *p >= '0' && *p <= '9') v = v * 10 + (*p++ - '0');
  return v;
}

/* Returns 1 when the record at the indexed offset is a line that holds the
 * key (by name: starts with "key:"; by id: has ":key:" as its third field). */
static int floor_lookup(const char *map, const char *index, const char *key, int by_id) {
  int fd = open(index, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return 0;
  struct stat ist, mst;
  if (fstat(fd, &ist) != 0 || stat(map, &mst) != 0 || ist.st_size <= 0 ||
      mst.st_mtime > ist.st_mtime) {
    close(fd);
    return 0;
  }
  size_t size = (size_t)ist.st_size;
  const char *base = mmap(NULL, size, PROT_READ, MAP_PRIVATE, fd, 0);
  if (base == MAP_FAILED) {
    close(fd);
    return 0;
  }
  const char *nl = memchr(base, '\n', size);
  int64_t offset = -1;
  if (nl != NULL) {
    size_t len = (size_t)(nl - base) + 1;
    size_t lo = 0, hi = size / len;
    while (lo < hi) {
      size_t mid = lo + (hi - lo) / 2;
      const char *rec = base + mid * len;
      int c = strcmp(key, rec);
      if (c == 0) {
        offset = parse_offset(rec + strlen(rec) + 1, rec + len - 1);
        break;
      }
      if (c < 0) hi = mid;
      else lo = mid + 1;
    }
  }
  munmap((void *)base, size);
  close(fd);
  if (offset < 0) return 0;

  int m = open(map, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (m < 0) return 0;
  char buf[4096 + 1];
  ssize_t got = -1;
  if (lseek(m, (off_t)offset, SEEK_SET) == (off_t)offset) got = read(m, buf, 4096);
  close(m);
  if (got <= 0) return 0;
  buf[got] = '\0';
  char *end = strchr(buf, '\n');
  if (end == NULL) return 0;
  *end = '\0';
  size_t klen = strlen(key);
  if (!by_id) return strncmp(buf, key, klen) == 0 && buf[klen] == ':';
  const char *c1 = strchr(buf, ':');
  const char *c2 = c1 ? strchr(c1 + 1, ':') : NULL;
  return c2 != NULL && strncmp(c2 + 1, key, klen) == 0 && c2[1 + klen] == ':';
}

int main(int argc, char **argv) {
  size_t max = 1000, min = 20;
  double budget = 5.0;
  const char *dir = "/etc";
  int i = 1;
  for (; i + 1 < argc && strncmp(argv[i], "--", 2) == 0; i += 2) {
    if (strcmp(argv[i], "--max") == 0) max = strtoull(argv[i + 1], NULL, 10);
    else if (strcmp(argv[i], "--min") == 0) min = strtoull(argv[i + 1], NULL, 10);
    else if (strcmp(argv[i], "--budget") == 0) budget = strtod(argv[i + 1], NULL);
    else if (strcmp(argv[i], "--dir") == 0) dir = argv[i + 1];
    else break;
  }
  if (argc - i != 2) {
    fprintf(stderr, "usage: %s [--max N] [--min N] [--budget S] [--dir DIR] OP KEYS\n", argv[0]);
    return 2;
  }
  const char *op = argv[i];
  int group = strncmp(op, "getgr", 5) == 0;
  int by_id = strcmp(op, "getpwuid") == 0 || strcmp(op, "getgrgid") == 0;
  if (!group && !by_id && strcmp(op, "getpwnam") != 0) {
    fprintf(stderr, "vesk-bench-floor: unknown operation %s\n", op);
    return 2;
  }
  if (group && !by_id && strcmp(op, "getgrnam") != 0) {
    fprintf(stderr, "vesk-bench-floor: unknown operation %s\n", op);
    return 2;
  }
  char map[512], index[520];
  snprintf(map, sizeof map, "%s/%s", dir, group ? "group.vesk" : "passwd.vesk");
  snprintf(index, sizeof index, "%s%s", map, by_id ? (group ? ".ixgid" : ".ixuid") : ".ixname");

  struct bench_keys keys;
  if (bench_read_keys(argv[i + 1], max, &keys) != 0 || keys.count == 0) {
    fprintf(stderr, "vesk-bench-floor: no keys in %s\n", argv[i + 1]);
    return 2;
  }
  double *ns = calloc(keys.count, sizeof *ns);
  if (ns == NULL) return 2;
  char key[32];
  const struct bench_key *k0 = &keys.keys[0];
  if (by_id) snprintf(key, sizeof key, "%d", (int)(group ? k0->gid : k0->uid));
  floor_lookup(map, index, by_id ? key : group ? k0->group : k0->user, by_id);
  long rss_before = bench_status_kib("VmRSS");

  size_t n = 0, found = 0;
  double start = bench_now_ns();
  for (; n < keys.count; ++n) {
    if (n >= min && bench_now_ns() - start > budget * 1e9) break;
    const struct bench_key *k = &keys.keys[n];
    double t0 = bench_now_ns();
    const char *wanted = group ? k->group : k->user;
    if (by_id) {
      snprintf(key, sizeof key, "%d", (int)(group ? k->gid : k->uid));
      wanted = key;
    }
    found += floor_lookup(map, index, wanted, by_id);
    ns[n] = bench_now_ns() - t0;
  }
  bench_report(op, ns, n, found, rss_before, "");
  return found == n ? 0 : 1;
}
