// The built module loads with RTLD_NOW (no unresolved symbol) and exports
// exactly the documented names, nothing else.
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

const std::set<std::string> kDocumented = {
    "_nss_vesk_setpwent_path", "_nss_vesk_setgrent_path", "_nss_vesk_setpwent",
    "_nss_vesk_getpwent_r",    "_nss_vesk_endpwent",      "_nss_vesk_setgrent",
    "_nss_vesk_getgrent_r",    "_nss_vesk_endgrent",      "_nss_vesk_getpwnam_r",
    "_nss_vesk_getpwuid_r",    "_nss_vesk_getgrnam_r",    "_nss_vesk_getgrgid_r",
    "_nss_vesk_bsearch2",      "_nss_vesk_initgroups_dyn",
};

// Defined symbols of the file's dynamic symbol table.
std::set<std::string> defined_dynamic_symbols(const char *path) {
  std::set<std::string> names;
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return names;
  struct stat st;
  fstat(fd, &st);
  void *map = mmap(nullptr, st.st_size, PROT_READ, MAP_PRIVATE, fd, 0);
  close(fd);
  if (map == MAP_FAILED) return names;
  const auto *base = static_cast<const unsigned char *>(map);
  const auto *eh = reinterpret_cast<const Elf64_Ehdr *>(base);
  const auto *sh = reinterpret_cast<const Elf64_Shdr *>(base + eh->e_shoff);
  for (int i = 0; i < eh->e_shnum; ++i) {
    if (sh[i].sh_type != SHT_DYNSYM) continue;
    const auto *syms = reinterpret_cast<const Elf64_Sym *>(base + sh[i].sh_offset);
    const char *strtab = reinterpret_cast<const char *>(base + sh[sh[i].sh_link].sh_offset);
    size_t count = sh[i].sh_size / sizeof(Elf64_Sym);
    for (size_t j = 1; j < count; ++j) {
      unsigned bind = ELF64_ST_BIND(syms[j].st_info);
      if (syms[j].st_shndx == SHN_UNDEF || (bind != STB_GLOBAL && bind != STB_WEAK)) continue;
      names.insert(strtab + syms[j].st_name);
    }
  }
  munmap(map, st.st_size);
  return names;
}

TEST(Exports, LoadsWithEveryDocumentedSymbolResolvable) {
  void *module = dlopen(VESK_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(module, nullptr) << dlerror();
  for (const auto &name : kDocumented) EXPECT_NE(dlsym(module, name.c_str()), nullptr) << name;
  dlclose(module);
}

TEST(Exports, DynamicSymbolTableHoldsExactlyTheDocumentedNames) {
  std::set<std::string> exported = defined_dynamic_symbols(VESK_MODULE_PATH);
  // Sanitizer builds link their runtime's interceptors statically into
  // nothing here (the runtime is a shared library), so the set is exact.
  EXPECT_EQ(exported, kDocumented);
}

}  // namespace
