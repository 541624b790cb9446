// What fetch installed, recorded so that a later run notices files changed
// by anything else (a local install, a deleted map, an interrupted run): a
// stat() of each map and index first, a hash only of a map whose time or
// inode moved while its size did not.
#include <errno.h>
#include <string.h>

#include "crypto.h"
#include "fetch_internal.h"
#include "nss_vesk.h"

namespace vesk::fetch {

std::vector<std::string> installed_files(const FetchOptions &o, const std::string &map) {
  std::string target = target_of(o, map);
  if (map == kKeysName) return {target, target + NSS_VESK_SUFFIX_NAME};
  return {target, target + NSS_VESK_SUFFIX_NAME, target + tool::words(db_of(map)).id_suffix};
}

std::string target_of(const FetchOptions &o, const std::string &map) {
  if (map == kKeysName) return o.install.keys_map;
  return map == "passwd" ? o.install.passwd_map : o.install.group_map;
}

tool::Db db_of(const std::string &map) { return map == "passwd" ? tool::Db::Passwd : tool::Db::Group; }

namespace {

const tool::InstalledFile *find(const tool::InstalledRecord &r, const std::string &path) {
  for (const tool::InstalledFile &f : r.files)
    if (f.path == path) return &f;
  return nullptr;
}

std::string hash_of(const std::string &path) {
  MappedFile file;
  std::string error;
  return file.open(path, &error) ? sha256_hex(file.view()) : "";
}

}  // namespace

bool record_installed(const FetchOptions &o, const Manifest &m,
                      const tool::InstalledRecord *previous, std::string *error) {
  tool::InstalledRecord r;
  r.generation = m.generation;
  for (const MapEntry &e : m.maps)
    for (const std::string &path : installed_files(o, e.name)) {
      tool::InstalledFile f;
      f.path = path;
      if (!tool::stat_installed(&f)) {
        *error = path + ": " + strerror(errno);
        return false;
      }
      f.sha256 = "-";
      if (path == target_of(o, e.name)) {
        // Install only leaves lines out: a map of the signed size is the
        // signed map.
        const tool::InstalledFile *was = previous != nullptr ? find(*previous, path) : nullptr;
        if (static_cast<uint64_t>(f.size) == e.plain.size) f.sha256 = e.plain.sha256;
        else if (was != nullptr && was->size == f.size && was->sha256 != "-") f.sha256 = was->sha256;
        else f.sha256 = hash_of(path);
        if (f.sha256.empty()) f.sha256 = "-";
      }
      r.files.push_back(f);
    }
  return tool::write_installed_record(o.state_dir, "fetch", r, error);
}

std::string find_drift(const FetchOptions &o, const Manifest &installed, bool *touched) {
  *touched = false;
  tool::InstalledRecord r;
  bool found;
  std::string error;
  if (!tool::read_installed_record(o.state_dir, "fetch", &r, &found, &error)) return error;
  if (!found) return "no record of the files installed";
  if (r.generation != installed.generation)
    return "the files recorded are generation " + std::to_string(r.generation) + "'s";
  for (const MapEntry &e : installed.maps)
    for (const std::string &path : installed_files(o, e.name)) {
      const tool::InstalledFile *f = find(r, path);
      if (f == nullptr) return path + " is not recorded";
      if (tool::same_stat(*f)) continue;
      tool::InstalledFile now = *f;
      if (!tool::stat_installed(&now)) return path + ": " + strerror(errno);
      if (f->sha256 != "-" && now.size == f->size && hash_of(path) == f->sha256) {
        *touched = true;  // the same bytes, touched or copied back
        continue;
      }
      return path + " changed";
    }
  return "";
}

}  // namespace vesk::fetch
