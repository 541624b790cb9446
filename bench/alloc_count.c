/* vesk-alloc-count.so: a malloc counter to preload into vesk-bench-driver.
 *
 * Counts calls of the allocation functions between vesk_alloc_start() and
 * vesk_alloc_stop(), which the driver finds with dlsym, and remembers the
 * sizes of the first few.  Allocation itself is passed to glibc's own
 * __libc_* functions, so the counter needs no dlsym of its own. */
#include <malloc.h>
#include <stddef.h>
#include <stdlib.h>

extern void *__libc_malloc(size_t);
extern void *__libc_calloc(size_t, size_t);
extern void *__libc_realloc(void *, size_t);
extern void *__libc_memalign(size_t, size_t);
extern void __libc_free(void *);

#define EXPORT __attribute__((visibility("default")))

EXPORT void vesk_alloc_start(void);
EXPORT unsigned long vesk_alloc_stop(unsigned long *total_bytes, unsigned long *total_frees,
                                     size_t *sizes, size_t max_sizes);

static int counting;
static unsigned long allocs, bytes, frees;
static size_t first_sizes[8];

static void note(size_t n) {
  if (!counting) return;
  if (allocs < 8) first_sizes[allocs] = n;
  ++allocs;
  bytes += n;
}

EXPORT void *malloc(size_t n) {
  note(n);
  return __libc_malloc(n);
}

EXPORT void *calloc(size_t n, size_t size) {
  note(n * size);
  return __libc_calloc(n, size);
}

EXPORT void *realloc(void *p, size_t n) {
  note(n);
  return __libc_realloc(p, n);
}

EXPORT void *memalign(size_t align, size_t n) {
  note(n);
  return __libc_memalign(align, n);
}

EXPORT int posix_memalign(void **out, size_t align, size_t n) {
  note(n);
  void *p = __libc_memalign(align, n);
  if (p == NULL) return 12; /* ENOMEM */
  *out = p;
  return 0;
}

EXPORT void *aligned_alloc(size_t align, size_t n) {
  note(n);
  return __libc_memalign(align, n);
}

EXPORT void free(void *p) {
  if (counting && p != NULL) ++frees;
  __libc_free(p);
}

EXPORT void vesk_alloc_start(void) {
  allocs = bytes = frees = 0;
  for (int i = 0; i < 8; ++i) first_sizes[i] = 0;
  counting = 1;
}

EXPORT unsigned long vesk_alloc_stop(unsigned long *total_bytes, unsigned long *total_frees,
                                     size_t *sizes, size_t max_sizes) {
  counting = 0;
  *total_bytes = bytes;
  *total_frees = frees;
  for (size_t i = 0; i < max_sizes && i < 8; ++i) sizes[i] = first_sizes[i];
  return allocs;
}
