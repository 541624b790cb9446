#include "keys/keys_map.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <unordered_map>

#include "keys/key_line.h"
#include "nss_vesk.h"

namespace vesk::keys {

void scan_keys(const char *data, size_t size, const KeysRules &rules, KeysScan *scan) {
  // Where each user's block of lines was; a user seen before the current
  // block has its lines apart.
  std::unordered_map<std::string_view, uint64_t> first_line;
  std::string_view current;
  KeyParts parts;
  uint64_t line_no = 0;
  for (size_t pos = 0; pos < size;) {
    const char *nl = static_cast<const char *>(memchr(data + pos, '\n', size - pos));
    size_t end = nl == nullptr ? size : static_cast<size_t>(nl - data);
    std::string_view line(data + pos, end - pos);
    uint64_t offset = pos;
    pos = nl == nullptr ? size : end + 1;
    ++line_no;
    size_t first = line.find_first_not_of(" \t");
    if (first == std::string_view::npos || line[first] == '#') continue;
    ++scan->lines;
    MapLine fields;
    std::string reason;
    bool split = split_map_line(line, &fields, &reason);
    bool ok = split && judge_key(fields.key, rules.allow_options, &parts, &reason) &&
              (!rules.user_check || rules.user_check(fields.user, fields.uid, &reason));
    if (!ok && split && !rules.leave_out) {
      scan->problems.push_back({line_no, reason});
      ok = true;  // reported, kept
    }
    if (ok && fields.user != current) {
      auto [it, fresh] = first_line.emplace(fields.user, line_no);
      if (!fresh) {
        reason = "keys of " + std::string(fields.user) + " stand apart from its keys at line " +
                 std::to_string(it->second) + " (a user's lines must stand together)";
        ok = false;
      } else {
        current = fields.user;
      }
    }
    if (!ok) {
      scan->problems.push_back({line_no, reason});
      continue;
    }
    scan->kept.push_back({offset, pos - offset, line_no, fields.user, fields.uid});
  }
}

bool read_file(const std::string &path, std::string *text, struct stat *st, std::string *error) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  bool ok = fd >= 0 && fstat(fd, st) == 0;
  if (ok && !S_ISREG(st->st_mode)) {
    errno = EINVAL;
    ok = false;
  }
  if (ok) {
    text->resize(static_cast<size_t>(st->st_size));
    size_t got = 0;
    while (ok && got < text->size()) {
      ssize_t n = read(fd, text->data() + got, text->size() - got);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        if (n == 0) errno = EIO;  // shrank while read
        ok = false;
      } else {
        got += static_cast<size_t>(n);
      }
    }
  }
  if (!ok) *error = "can't read " + path + ": " + strerror(errno);
  if (fd >= 0) close(fd);
  return ok;
}

bool write_keys_index(const KeysScan &scan, const std::string &map_path,
                      const struct timespec &map_mtime, tool::PendingIndex *out,
                      std::string *error) {
  // The index writer works on a map scan: one record per user, at its
  // first line.  Kept lines of one user stand together, so a user starts
  // where the user changes.
  tool::MapScan users;
  std::string_view previous;
  for (const KeyRecord &r : scan.kept) {
    if (!users.records.empty() && r.user == previous) continue;
    previous = r.user;
    uint64_t at = users.names.size();
    users.names.insert(users.names.end(), r.user.begin(), r.user.end());
    users.names.push_back('\0');
    users.records.push_back({r.offset, r.line, at, static_cast<uint32_t>(r.user.size()), r.uid});
  }
  tool::BigVector<uint32_t> order = tool::name_order(users);
  return tool::write_index(users, order, true, map_path + NSS_VESK_SUFFIX_NAME, map_mtime, out,
                           error);
}

bool write_kept(KeysScan *scan, const char *data, const std::string &final_path,
                std::string *temp, std::string *error) {
  int fd = tool::create_temp(final_path, temp);
  if (fd < 0) {
    *error = "can't create a temporary file beside " + final_path + ": " + strerror(errno);
    return false;
  }
  std::string out;
  uint64_t written = 0;
  bool ok = fchmod(fd, 0644) == 0;
  for (size_t i = 0; ok && i < scan->kept.size(); ++i) {
    KeyRecord &r = scan->kept[i];
    size_t start = out.size();
    out.append(data + r.offset, r.length);
    if (out.back() != '\n') out += '\n';
    r.offset = written + start;  // now the copy's
    r.length = out.size() - start;
    if (out.size() >= (1 << 20) || i + 1 == scan->kept.size()) {
      for (size_t done = 0; ok && done < out.size();) {
        ssize_t n = write(fd, out.data() + done, out.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += static_cast<size_t>(n);
      }
      written += out.size();
      out.clear();
    }
  }
  ok = ok && fsync(fd) == 0;
  if (!ok) *error = "can't write " + *temp + ": " + strerror(errno);
  if (close(fd) != 0 && ok) {
    *error = "can't write " + *temp + ": " + strerror(errno);
    ok = false;
  }
  if (!ok) tool::drop_temp(temp);
  return ok;
}

}  // namespace vesk::keys
