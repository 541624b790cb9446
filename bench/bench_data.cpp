#include "bench_data.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

namespace vesk_bench {

namespace {

std::string numbered(const char *prefix, size_t width, size_t n) {
  char buf[32];
  snprintf(buf, sizeof buf, "%s%0*zu", prefix, static_cast<int>(width), n);
  return buf;
}

// The members of group j: five distinct users drawn from the whole map.
void group_members(size_t j, size_t users, size_t out[kMembersPerGroup]) {
  Random r(0x5EED0000ull + j);
  for (size_t k = 0; k < kMembersPerGroup; ++k) {
    size_t m;
    do {
      m = r.below(users);
    } while (std::find(out, out + k, m) != out + k);
    out[k] = m;
  }
}

}  // namespace

size_t group_count(size_t users) { return users < 10 ? 1 : users / 10; }
std::string user_name(size_t i) { return numbered("user", 7, i); }
std::string group_name(size_t j) { return numbered("grp", 6, j); }
uint32_t user_uid(size_t i) { return kFirstUid + static_cast<uint32_t>(i); }
uint32_t group_gid(size_t j) { return kFirstGid + static_cast<uint32_t>(j); }
uint32_t user_gid(size_t i, size_t users) {
  return group_gid(std::min(i / 10, group_count(users) - 1));
}

// Map lines are formatted by hand into a large buffer that is written out
// whenever it fills: the ten-million-user map (some 730 MB) takes seconds,
// not the minute that one snprintf and one std::string per line cost.
namespace {

class BufferedFile {
 public:
  explicit BufferedFile(const std::string &path)
      : fd_(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)),
        buf_(new char[kSize]) {}
  ~BufferedFile() {
    if (fd_ >= 0) ::close(fd_);
    delete[] buf_;
  }
  BufferedFile(const BufferedFile &) = delete;
  BufferedFile &operator=(const BufferedFile &) = delete;

  // Room for one line; lines are far shorter than kLine.
  char *reserve() {
    if (kSize - len_ < kLine) flush();
    return buf_ + len_;
  }
  void commit(char *end) { len_ = static_cast<size_t>(end - buf_); }
  bool close() {
    flush();
    bool ok = ok_ && fd_ >= 0 && ::close(fd_) == 0;
    fd_ = -1;
    return ok;
  }

 private:
  static constexpr size_t kSize = 8 << 20;
  static constexpr size_t kLine = 4096;
  void flush() {
    size_t done = 0;
    while (ok_ && fd_ >= 0 && done < len_) {
      ssize_t n = write(fd_, buf_ + done, len_ - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) ok_ = false;
      else done += static_cast<size_t>(n);
    }
    len_ = 0;
  }
  int fd_;
  char *buf_;
  size_t len_ = 0;
  bool ok_ = true;
};

char *put(char *p, const char *text) {
  size_t n = strlen(text);
  memcpy(p, text, n);
  return p + n;
}

// Decimal digits of v, at least `width` of them (zero-padded).
char *put_number(char *p, uint64_t v, int width = 1) {
  char digits[24];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  while (n < width) digits[n++] = '0';
  while (n > 0) *p++ = digits[--n];
  return p;
}

// user_name(i) and group_name(j), without the std::string.
char *put_user(char *p, size_t i) { return put_number(put(p, "user"), i, 7); }
char *put_group(char *p, size_t j) { return put_number(put(p, "grp"), j, 6); }

bool write_passwd_map(const std::string &path, size_t users) {
  BufferedFile out(path);
  for (size_t i = 0; i < users; ++i) {
    // name:x:uid:gid:User i,,,:/home/name:/bin/bash
    char *p = put_user(out.reserve(), i);
    p = put_number(put(p, ":x:"), user_uid(i));
    p = put_number(put(p, ":"), user_gid(i, users));
    p = put_number(put(p, ":User "), i);
    p = put_user(put(p, ",,,:/home/"), i);
    out.commit(put(p, ":/bin/bash\n"));
  }
  return out.close();
}

bool write_group_map(const std::string &path, size_t users) {
  BufferedFile out(path);
  size_t members[kMembersPerGroup];
  for (size_t j = 0, groups = group_count(users); j < groups; ++j) {
    // name:x:gid:member,member,...
    char *p = put_group(out.reserve(), j);
    p = put_number(put(p, ":x:"), group_gid(j));
    *p++ = ':';
    group_members(j, users, members);
    for (size_t k = 0; k < kMembersPerGroup; ++k) {
      if (k) *p++ = ',';
      p = put_user(p, members[k]);
    }
    *p++ = '\n';
    out.commit(p);
  }
  return out.close();
}

}  // namespace

std::vector<IndexEntry> map_entries(const std::string &map, bool by_id) {
  std::vector<IndexEntry> entries;
  size_t pos = 0;
  while (pos < map.size()) {
    size_t end = map.find('\n', pos);
    if (end == std::string::npos) end = map.size();
    size_t c1 = map.find(':', pos);
    size_t c2 = c1 == std::string::npos ? c1 : map.find(':', c1 + 1);
    size_t c3 = c2 == std::string::npos ? c2 : map.find(':', c2 + 1);
    if (c3 != std::string::npos && c3 < end) {
      std::string key = by_id ? map.substr(c2 + 1, c3 - c2 - 1) : map.substr(pos, c1 - pos);
      if (by_id) key = std::to_string(static_cast<int32_t>(strtoul(key.c_str(), nullptr, 10)));
      entries.push_back({std::move(key), static_cast<int64_t>(pos)});
    }
    pos = end + 1;
  }
  return entries;
}

std::string index_bytes(std::vector<IndexEntry> entries) {
  std::stable_sort(entries.begin(), entries.end(), [](const IndexEntry &a, const IndexEntry &b) {
    return strcmp(a.key.c_str(), b.key.c_str()) < 0;
  });
  size_t len = 0;
  for (const auto &e : entries)
    len = std::max(len, e.key.size() + 1 + std::to_string(e.offset).size() + 1);
  std::string out;
  out.reserve(len * entries.size());
  for (const auto &e : entries) {
    size_t start = out.size();
    out += e.key;
    out += '\0';
    out += std::to_string(e.offset);
    out.resize(start + len - 1, '\0');
    out += '\n';
  }
  return out;
}

bool write_file(const std::string &path, const std::string &content) {
  FILE *f = fopen(path.c_str(), "w");
  if (f == nullptr) return false;
  bool ok = fwrite(content.data(), 1, content.size(), f) == content.size();
  return fclose(f) == 0 && ok;
}

bool read_file(const std::string &path, std::string *content) {
  FILE *f = fopen(path.c_str(), "r");
  if (f == nullptr) return false;
  content->clear();
  char buf[1 << 16];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) content->append(buf, n);
  bool ok = !ferror(f);
  fclose(f);
  return ok;
}

bool copy_mtime(const std::string &like, const std::string &path) {
  struct stat st;
  if (stat(like.c_str(), &st) != 0) return false;
  struct timespec times[2] = {st.st_mtim, st.st_mtim};
  return utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

bool write_maps(const std::string &dir, size_t users) {
  // The group map (a tenth of the bytes, but five random members a line)
  // on a second thread.
  bool group_ok = false;
  std::thread group([&] { group_ok = write_group_map(dir + "/group.vesk", users); });
  bool passwd_ok = write_passwd_map(dir + "/passwd.vesk", users);
  group.join();
  return passwd_ok && group_ok;
}

bool write_indexes(const std::string &map_path, bool group) {
  std::string map;
  if (!read_file(map_path, &map)) return false;
  std::string id_path = map_path + (group ? ".ixgid" : ".ixuid");
  std::string name_path = map_path + ".ixname";
  return write_file(name_path, index_bytes(map_entries(map, false))) &&
         write_file(id_path, index_bytes(map_entries(map, true))) &&
         copy_mtime(map_path, name_path) && copy_mtime(map_path, id_path);
}

std::vector<Key> random_keys(size_t users, size_t count, uint64_t seed) {
  Random r(seed);
  size_t groups = group_count(users);
  std::vector<Key> keys;
  keys.reserve(count);
  for (size_t k = 0; k < count; ++k) {
    size_t i = r.below(users);
    size_t j = r.below(groups);
    keys.push_back({user_name(i), user_uid(i), user_gid(i, users), group_name(j), group_gid(j)});
  }
  return keys;
}

}  // namespace vesk_bench
