// The run records of config/state.h.
#include "config/state.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/index_tool.h"
#include "map/files.h"

namespace vesk::tool {

namespace {

bool write_all(int fd, const char *p, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

bool parse_int64(const std::string &text, int64_t *out) {
  uint64_t v;
  if (!parse_uint(text, INT64_MAX, &v)) return false;
  *out = static_cast<int64_t>(v);
  return true;
}

// Calls ok(text) for each line of `data` (without its newline) until one
// returns false; returns that line's 1-based number, or 0 if none did.
template <typename Ok>
int for_each_line(const std::string &data, Ok ok) {
  size_t start = 0;
  int line = 0;
  while (start < data.size()) {
    size_t nl = data.find('\n', start);
    if (nl == std::string::npos) nl = data.size();
    ++line;
    if (!ok(data.substr(start, nl - start))) return line;
    start = nl + 1;
  }
  return 0;
}

}  // namespace

std::string record_path(const std::string &state_dir, const std::string &program) {
  return state_dir + "/" + program + ".state";
}

bool read_small_file(const std::string &path, size_t limit, std::string *data,
                     std::string *error) {
  struct stat st;
  Fd fd(open_regular(path.c_str(), &st));
  if (fd.fd < 0) {
    int saved = errno;
    *error = path + ": " + (errno == EINVAL ? "not a regular file" : strerror(errno));
    errno = saved;
    return false;
  }
  if (static_cast<uint64_t>(st.st_size) > limit) {
    *error = path + ": larger than " + std::to_string(limit) + " bytes";
    errno = EFBIG;
    return false;
  }
  data->clear();
  char buffer[65536];
  for (;;) {
    ssize_t n = read(fd.fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = path + ": " + strerror(errno);
      return false;
    }
    if (n == 0) break;
    data->append(buffer, static_cast<size_t>(n));
    if (data->size() > limit) {
      *error = path + ": larger than " + std::to_string(limit) + " bytes";
      errno = EFBIG;
      return false;
    }
  }
  return true;
}

bool replace_file(const std::string &path, const std::string &data, unsigned mode,
                  std::string *error) {
  std::string temp;
  int fd = create_temp(path, &temp);
  if (fd < 0) {
    *error = "can't create a temporary file beside " + path + ": " + strerror(errno);
    return false;
  }
  bool ok = fchmod(fd, mode) == 0 && write_all(fd, data.data(), data.size()) && fsync(fd) == 0;
  if (!ok) *error = "can't write " + temp + ": " + strerror(errno);
  if (close(fd) != 0 && ok) {
    ok = false;
    *error = "can't write " + temp + ": " + strerror(errno);
  }
  if (ok && rename(temp.c_str(), path.c_str()) != 0) {
    ok = false;
    *error = "can't rename " + temp + " to " + path + ": " + strerror(errno);
  }
  if (!ok) {
    drop_temp(&temp);
    return false;
  }
  forget_temp(temp);
  return sync_directory(directory_of(path), error);
}

bool read_update_record(const std::string &state_dir, const std::string &program,
                        UpdateRecord *record, bool *found, std::string *error) {
  *record = UpdateRecord{};
  *found = false;
  std::string path = record_path(state_dir, program), data;
  if (!read_small_file(path, 65536, &data, error)) return errno == ENOENT;
  bool seen_time = false, seen_success = false;
  int bad = for_each_line(data, [&](const std::string &text) {
    size_t space = text.find(' ');
    std::string key = text.substr(0, space);
    std::string value = space == std::string::npos ? "" : text.substr(space + 1);
    bool ok = true;
    if (key == "time") ok = seen_time = parse_int64(value, &record->time);
    else if (key == "success") ok = seen_success = parse_yes_no(value, &record->success);
    else if (key == "generation") ok = parse_uint(value, UINT64_MAX, &record->generation);
    else if (key == "last-success") ok = parse_int64(value, &record->last_success);
    else if (key == "made") ok = parse_int64(value, &record->made);
    else if (key == "result") record->result = value;
    else ok = false;
    return ok;
  });
  if (bad != 0) {
    *error = path + ":" + std::to_string(bad) + ": not a line of a run record";
    return false;
  }
  if (!seen_time || !seen_success) {
    *error = path + ": no time or success line: not a run record";
    return false;
  }
  *found = true;
  return true;
}

bool write_update_record(const std::string &state_dir, const std::string &program,
                         UpdateRecord record, std::string *error) {
  UpdateRecord previous;
  bool found = false;
  std::string ignored;
  if (!read_update_record(state_dir, program, &previous, &found, &ignored)) found = false;
  if (record.success) record.last_success = record.time;
  else if (found) record.last_success = previous.last_success;
  if (record.made == 0 && found) record.made = previous.made;
  std::string result = record.result;
  for (char &c : result)
    if (c == '\n' || c == '\r') c = ' ';
  std::string data = "time " + std::to_string(record.time) + "\nsuccess " +
                     (record.success ? "yes" : "no") + "\ngeneration " +
                     std::to_string(record.generation) + "\nlast-success " +
                     std::to_string(record.last_success) + "\n" +
                     (record.made != 0 ? "made " + std::to_string(record.made) + "\n" : "") +
                     "result " + result + "\n";
  return replace_file(record_path(state_dir, program), data, 0644, error);
}

bool stat_installed(InstalledFile *f) {
  struct stat st;
  if (lstat(f->path.c_str(), &st) != 0) return false;
  f->size = st.st_size;
  f->mtime_sec = st.st_mtim.tv_sec;
  f->mtime_nsec = st.st_mtim.tv_nsec;
  f->inode = st.st_ino;
  return true;
}

bool same_stat(const InstalledFile &f) {
  InstalledFile now = f;
  return stat_installed(&now) && now.size == f.size && now.mtime_sec == f.mtime_sec &&
         now.mtime_nsec == f.mtime_nsec && now.inode == f.inode;
}

bool read_installed_record(const std::string &state_dir, const std::string &program,
                           InstalledRecord *record, bool *found, std::string *error) {
  *record = InstalledRecord{};
  *found = false;
  std::string path = state_dir + "/" + program + ".installed", data;
  if (!read_small_file(path, 65536, &data, error)) return errno == ENOENT;
  int bad = for_each_line(data, [&](const std::string &text) {
    std::vector<std::string> w;
    for (size_t at = 0; at <= text.size();) {
      size_t space = text.find(' ', at);
      if (space == std::string::npos) space = text.size();
      w.push_back(text.substr(at, space - at));
      at = space + 1;
    }
    InstalledFile f;
    bool ok = false;
    if (w.size() == 2 && w[0] == "generation") {
      ok = parse_uint(w[1], UINT64_MAX, &record->generation);
    } else if (w.size() == 7 && w[0] == "file" && !w[1].empty()) {
      f.path = w[1];
      f.sha256 = w[6];
      ok = parse_int64(w[2], &f.size) && parse_int64(w[3], &f.mtime_sec) &&
           parse_int64(w[4], &f.mtime_nsec) && parse_uint(w[5], UINT64_MAX, &f.inode);
      if (ok) record->files.push_back(f);
    }
    return ok;
  });
  if (bad != 0) {
    *error = path + ":" + std::to_string(bad) + ": not a line of an installed record";
    return false;
  }
  *found = true;
  return true;
}

bool write_installed_record(const std::string &state_dir, const std::string &program,
                            const InstalledRecord &record, std::string *error) {
  std::string data = "generation " + std::to_string(record.generation) + "\n";
  for (const InstalledFile &f : record.files) {
    if (f.path.find_first_of(" \n") != std::string::npos) {
      *error = f.path + ": a path with a space or newline can't be recorded";
      return false;
    }
    data += "file " + f.path + " " + std::to_string(f.size) + " " + std::to_string(f.mtime_sec) +
            " " + std::to_string(f.mtime_nsec) + " " + std::to_string(f.inode) + " " +
            (f.sha256.empty() ? "-" : f.sha256) + "\n";
  }
  return replace_file(state_dir + "/" + program + ".installed", data, 0644, error);
}

}  // namespace vesk::tool
