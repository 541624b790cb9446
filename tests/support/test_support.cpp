#include "test_support.h"

#include <dirent.h>
#include <elf.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace vesk_test {

TempDir::TempDir() {
  const char *base = getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/vesk-test-XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path = buf.data();
}

TempDir::~TempDir() {
  std::string cmd = "rm -rf '" + path + "'";
  if (system(cmd.c_str()) != 0) {
    // Nothing more to do in a destructor; a leftover directory is harmless.
  }
}

void write_file(const std::string &path, const std::string &content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot write " + path);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void set_mtime(const std::string &path, time_t seconds) {
  struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
  if (utimensat(AT_FDCWD, path.c_str(), times, 0) != 0)
    throw std::runtime_error("utimensat failed on " + path);
}

std::string id_key(uint32_t id) { return std::to_string(static_cast<int32_t>(id)); }

std::vector<IndexEntry> map_entries(const std::string &map_content, Db db, Key key_kind) {
  // The platform reader decides which lines are records; ftell before each
  // read would name the first skipped line, so track line starts instead.
  std::vector<IndexEntry> entries;
  size_t pos = 0;
  while (pos < map_content.size()) {
    size_t nl = map_content.find('\n', pos);
    size_t end = nl == std::string::npos ? map_content.size() : nl + 1;
    std::string line = map_content.substr(pos, end - pos);
    FILE *f = fmemopen(line.data(), line.size(), "r");
    if (f != nullptr) {
      // Room for the line and, for a group, one member pointer per byte.
      std::vector<char> buf(line.size() * (2 + sizeof(char *)) + 4096);
      std::string key;
      bool ok = false;
      if (db == Db::Group) {
        struct group g, *out;
        if (fgetgrent_r(f, &g, buf.data(), buf.size(), &out) == 0) {
          ok = true;
          key = key_kind == Key::Name ? g.gr_name : id_key(g.gr_gid);
        }
      } else {
        struct passwd p, *out;
        if (fgetpwent_r(f, &p, buf.data(), buf.size(), &out) == 0) {
          ok = true;
          key = key_kind == Key::Name ? p.pw_name : id_key(p.pw_uid);
        }
      }
      fclose(f);
      if (ok) entries.push_back({key, static_cast<int64_t>(pos)});
    }
    pos = end;
  }
  return entries;
}

std::string index_bytes(std::vector<IndexEntry> entries, bool sorted) {
  if (sorted)
    std::stable_sort(entries.begin(), entries.end(), [](const IndexEntry &a, const IndexEntry &b) {
      return strcmp(a.key.c_str(), b.key.c_str()) < 0;
    });
  size_t len = 0;
  for (const auto &e : entries) len = std::max(len, e.key.size() + 1 + std::to_string(e.offset).size() + 1 + 1);
  std::string out;
  for (const auto &e : entries) {
    std::string rec = e.key;
    rec.push_back('\0');
    rec += std::to_string(e.offset);
    rec.resize(len - 1, '\0');
    rec.push_back('\n');
    out += rec;
  }
  return out;
}

void write_indexes(const std::string &map_path, Db db) {
  std::string content = read_file(map_path);
  std::string id_suffix = db == Db::Group ? ".ixgid" : ".ixuid";
  write_file(map_path + ".ixname", index_bytes(map_entries(content, db, Key::Name)));
  write_file(map_path + id_suffix, index_bytes(map_entries(content, db, Key::Id)));
  struct stat st;
  if (stat(map_path.c_str(), &st) == 0) {
    set_mtime(map_path + ".ixname", st.st_mtime);
    set_mtime(map_path + id_suffix, st.st_mtime);
  }
}

static int count_entries(const char *dir_path) {
  DIR *dir = opendir(dir_path);
  if (dir == nullptr) return -1;
  int n = 0;
  while (struct dirent *e = readdir(dir))
    if (e->d_name[0] != '.') ++n;
  closedir(dir);
  return n - 1;  // the directory stream's own descriptor
}

int count_open_fds() { return count_entries("/proc/self/fd"); }

int count_mappings() {
  std::ifstream in("/proc/self/maps");
  int n = 0;
  std::string line;
  while (std::getline(in, line)) ++n;
  return n;
}

std::string record_line(const struct passwd &p) {
  return std::string(p.pw_name) + ":" + p.pw_passwd + ":" + std::to_string(p.pw_uid) + ":" +
         std::to_string(p.pw_gid) + ":" + p.pw_gecos + ":" + p.pw_dir + ":" + p.pw_shell;
}

std::string record_line(const struct group &g) {
  std::string line =
      std::string(g.gr_name) + ":" + g.gr_passwd + ":" + std::to_string(g.gr_gid) + ":";
  for (char **m = g.gr_mem; *m != nullptr; ++m) {
    if (m != g.gr_mem) line += ",";
    line += *m;
  }
  return line;
}

std::vector<std::string> defined_dynamic_symbols(const std::string &path) {
  std::vector<std::string> names;
  std::string bytes = read_file(path);
  if (bytes.size() < sizeof(Elf64_Ehdr)) return names;
  const char *base = bytes.data();
  Elf64_Ehdr eh;
  memcpy(&eh, base, sizeof eh);
  if (memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_ident[EI_CLASS] != ELFCLASS64) return names;
  auto section = [&](size_t i) {
    Elf64_Shdr sh;
    memcpy(&sh, base + eh.e_shoff + i * sizeof sh, sizeof sh);
    return sh;
  };
  if (eh.e_shoff + eh.e_shnum * sizeof(Elf64_Shdr) > bytes.size()) return names;
  for (size_t i = 0; i < eh.e_shnum; ++i) {
    Elf64_Shdr sh = section(i);
    if (sh.sh_type != SHT_DYNSYM || sh.sh_link >= eh.e_shnum) continue;
    Elf64_Shdr strtab = section(sh.sh_link);
    if (sh.sh_offset + sh.sh_size > bytes.size() ||
        strtab.sh_offset + strtab.sh_size > bytes.size())
      continue;
    for (size_t j = 1; j < sh.sh_size / sizeof(Elf64_Sym); ++j) {
      Elf64_Sym sym;
      memcpy(&sym, base + sh.sh_offset + j * sizeof sym, sizeof sym);
      unsigned bind = ELF64_ST_BIND(sym.st_info);
      if (sym.st_shndx == SHN_UNDEF || (bind != STB_GLOBAL && bind != STB_WEAK)) continue;
      if (sym.st_name >= strtab.sh_size) continue;
      names.emplace_back(base + strtab.sh_offset + sym.st_name);
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace vesk_test
