// Index mappings under guard: the harness links with --wrap=mmap and
// --wrap=munmap, so the module's calls land here.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fuzz_support.h"

namespace vesk_fuzz {

namespace {

struct Guarded {
  char *region = nullptr;
  size_t region_len = 0;
  char *data = nullptr;
  size_t len = 0;
};

bool g_armed = false;
bool g_at_end = true;
uint64_t g_ino = 0;
Guarded g_live[8];

size_t page_size() {
  static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return page;
}

}  // namespace

void arm_index_guard(uint64_t ino, bool at_end) {
  g_armed = true;
  g_ino = ino;
  g_at_end = at_end;
}

void disarm_index_guard() { g_armed = false; }

int live_guarded_mappings() {
  int n = 0;
  for (const Guarded &g : g_live) n += g.region != nullptr;
  return n;
}

}  // namespace vesk_fuzz

using namespace vesk_fuzz;

extern "C" void *__real_mmap(void *addr, size_t len, int prot, int flags, int fd, off_t off);
extern "C" int __real_munmap(void *addr, size_t len);

extern "C" void *__wrap_mmap(void *addr, size_t len, int prot, int flags, int fd, off_t off) {
  struct stat st;
  if (!g_armed || addr != nullptr || fd < 0 || off != 0 || prot != PROT_READ ||
      fstat(fd, &st) != 0 || static_cast<uint64_t>(st.st_ino) != g_ino)
    return __real_mmap(addr, len, prot, flags, fd, off);
  if (len == 0) {
    errno = EINVAL;
    return MAP_FAILED;
  }
  Guarded *slot = nullptr;
  for (Guarded &g : g_live)
    if (g.region == nullptr) slot = &g;
  if (slot == nullptr) {
    fprintf(stderr, "too many index mappings alive at once\n");
    abort();
  }
  const size_t page = page_size();
  size_t data_pages = (len + page - 1) / page;
  size_t region_len = (data_pages + 2) * page;
  auto *region = static_cast<char *>(
      __real_mmap(nullptr, region_len, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  if (region == MAP_FAILED) return MAP_FAILED;
  char *body = region + page;
  if (mprotect(body, data_pages * page, PROT_READ | PROT_WRITE) != 0) abort();
  char *data = g_at_end ? body + data_pages * page - len : body;
  size_t done = 0;
  while (done < len) {
    ssize_t n = pread(fd, data + done, len - done, static_cast<off_t>(done));
    if (n <= 0) break;  // a shorter file leaves zeros, as a mapping would
    done += static_cast<size_t>(n);
  }
  if (mprotect(body, data_pages * page, PROT_READ) != 0) abort();
  *slot = Guarded{region, region_len, data, len};
  return data;
}

extern "C" int __wrap_munmap(void *addr, size_t len) {
  for (Guarded &g : g_live) {
    if (g.region == nullptr || addr != g.data) continue;
    if (len != g.len) {
      fprintf(stderr, "index unmapped with length %zu, mapped with %zu\n", len, g.len);
      abort();
    }
    int rc = __real_munmap(g.region, g.region_len);
    g = Guarded{};
    return rc;
  }
  return __real_munmap(addr, len);
}
