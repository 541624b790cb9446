// "vesk-index build": reads each map once and writes its two indexes.
#include <stdio.h>
#include <string.h>

#include <algorithm>

#include "core/index_tool.h"
#include "keys/keys_commands.h"
#include "nss_vesk.h"

namespace vesk::tool {

namespace {

// Reports keys that several records share and keeps only the first of each
// in the index order, so that the index, the module's scan and enumeration
// agree on which record a key means: the first in file order.
template <typename Same, typename Describe>
void find_duplicates(const MapScan &scan, BigVector<uint32_t> *order, Same same,
                     Describe describe, std::vector<Problem> *problems) {
  size_t i = 0, kept = 0;
  BigVector<uint32_t> &o = *order;
  while (i < o.size()) {
    size_t j = i + 1;
    while (j < o.size() && same(scan.records[o[i]], scan.records[o[j]])) ++j;
    // Within a run of equal keys the records are in map order.
    const MapRecord &first = scan.records[o[i]];
    for (size_t k = i + 1; k < j; ++k)
      problems->push_back({scan.records[o[k]].line,
                           "duplicate " + describe(first) + " (first on line " +
                               std::to_string(first.line) + "); lookups find the first"});
    o[kept++] = o[i];
    i = j;
  }
  o.resize(kept);
}

// Messages are gathered per map and printed once both maps are done, so
// the two maps' messages don't interleave.
int build_database(Db db, const std::string &map_path, const BuildOptions &options,
                   const PolicyCheck *policy, std::string *messages) {
  Prepared p;
  p.policy = policy;
  int status = prepare_map(db, map_path, map_path, map_path, &p, messages);
  if (status == kExitFailure) return status;
  if (status == kExitProblems && options.strict) {
    add_message(messages, map_path,
                std::to_string(p.problems) + " problem(s); --strict: indexes left as they were");
    return kExitProblems;
  }
  if (options.after_read != nullptr) options.after_read(map_path, options.hook_arg);

  std::string error;
  if (!write_indexes(&p, p.map.st.st_mtim, &error)) {
    add_message(messages, map_path, error + "; indexes left as they were");
    return kExitFailure;
  }
  // The indexes describe the map as it was read: if it changed meanwhile
  // they may hold wrong offsets, so they must not replace the old ones.
  if (!map_unchanged(p.map)) {
    for (PendingIndex &pending : p.pending) discard(&pending);
    add_message(messages, map_path,
                "the map changed while it was read; indexes left as they were (run again)");
    return kExitFailure;
  }
  if (!commit(&p.pending, &error)) {
    add_message(messages, map_path, error);
    return kExitFailure;
  }
  return status;
}

}  // namespace

void add_message(std::string *messages, const std::string &where, const std::string &text) {
  *messages += "vesk-index: " + where + ": " + text + "\n";
}

int prepare_map(Db db, const std::string &source, const std::string &display,
                const std::string &target, Prepared *p, std::string *messages) {
  DbWords w = words(db);
  p->db = db;
  p->target = target;
  std::string error;
  p->scan.policy = p->policy;
  p->scan.leave_out = p->leave_out;
  bool scanned = p->source_fd >= 0 ? scan_fd(db, p->source_fd, source, &p->map, &p->scan, &error)
                                    : scan_map(db, source, &p->map, &p->scan, &error);
  if (!scanned) {
    p->error = error;
    add_message(messages, display, error);
    return kExitFailure;
  }
  MapScan &scan = p->scan;

  // The two indexes are independent: each is sorted on its own core.
  std::vector<Problem> name_problems, id_problems;
  in_parallel(
      [&] {
        p->by_name = name_order(scan);
        find_duplicates(
            scan, &p->by_name,
            [&scan](const MapRecord &a, const MapRecord &b) {
              return strcmp(scan.name_of(a), scan.name_of(b)) == 0;
            },
            [&scan, &w](const MapRecord &r) {
              return std::string(w.record) + " name \"" + scan.name_of(r) + "\"";
            },
            &name_problems);
      },
      [&] {
        p->by_id = id_order(scan);
        find_duplicates(
            scan, &p->by_id, [](const MapRecord &a, const MapRecord &b) { return a.id == b.id; },
            [&w](const MapRecord &r) { return std::string(w.id) + " " + std::to_string(r.id); },
            &id_problems);
      });
  std::vector<Problem> problems = std::move(scan.problems);
  problems.insert(problems.end(), name_problems.begin(), name_problems.end());
  problems.insert(problems.end(), id_problems.begin(), id_problems.end());
  std::stable_sort(problems.begin(), problems.end(),
                   [](const Problem &a, const Problem &b) { return a.line < b.line; });
  for (const Problem &pr : problems) add_message(messages, at_line(display, pr.line), pr.text);
  p->problems = problems.size();
  if (p->explain_x && scan.password_x > 0)
    add_message(messages, display,
                "note: " + std::to_string(scan.password_x) +
                    " user(s) with \"x\" in the password field: PAM's account stage (pam_unix, "
                    "run by sshd with UsePAM yes, su, sudo and login) looks for their shadow "
                    "entry and refuses them unless a shadow source names them; \"*\" means no "
                    "password");

  // The module forms an index path of at most NSS_VESK_PATH_MAX characters
  // from the map path, or scans.
  size_t name_limit = NSS_VESK_PATH_MAX - strlen(NSS_VESK_SUFFIX_NAME);
  size_t id_limit = NSS_VESK_PATH_MAX - strlen(w.id_suffix);
  if (target.size() > name_limit) {
    add_message(messages, target,
                "path longer than " + std::to_string(name_limit) +
                    " characters: the module can't form the index path for lookups by " +
                    (target.size() > id_limit ? std::string("name or ") + w.id
                                              : std::string("name")) +
                    " and scans the map for them");
    ++p->problems;
  }
  return p->problems == 0 ? kExitOk : kExitProblems;
}

bool write_indexes(Prepared *p, const struct timespec &map_mtime, std::string *error) {
  p->pending.assign(2, PendingIndex{});
  bool name_ok = false, id_ok = false;
  std::string id_error;
  in_parallel(
      [&] {
        name_ok = write_index(p->scan, p->by_name, true, p->target + NSS_VESK_SUFFIX_NAME,
                              map_mtime, &p->pending[0], error);
      },
      [&] {
        id_ok = write_index(p->scan, p->by_id, false, p->target + words(p->db).id_suffix,
                            map_mtime, &p->pending[1], &id_error);
      });
  if (name_ok && id_ok) return true;
  for (PendingIndex &pending : p->pending) discard(&pending);
  if (name_ok) *error = id_error;
  return false;
}

int run_build(const BuildOptions &options) {
  UpdateLock lock;
  std::string error;
  std::vector<std::string> maps = {options.passwd_map, options.group_map};
  if (!options.keys_map.empty()) maps.push_back(options.keys_map);
  if (!lock_maps(maps, options.wait, &lock, &error)) {
    report("build", error);
    return kExitFailure;
  }
  PolicyCheck policy;
  if (!prepare_policy(options.policy, &policy, &error)) {
    report("build", error);
    return kExitFailure;
  }
  remove_stale_temps(options.passwd_map, Db::Passwd);
  remove_stale_temps(options.group_map, Db::Group);
  // The maps are independent: while one waits for its indexes to reach the
  // disk, the other is read and sorted.
  int passwd = kExitOk, group = kExitOk;
  std::string passwd_messages, group_messages;
  in_parallel(
      [&] { group = build_database(Db::Group, options.group_map, options, &policy, &group_messages); },
      [&] {
        passwd = build_database(Db::Passwd, options.passwd_map, options, &policy, &passwd_messages);
      });
  fputs(passwd_messages.c_str(), stderr);
  fputs(group_messages.c_str(), stderr);
  // A cache in front of the module forgets what the old files said.
  for (auto [db, status] : {std::pair{"passwd", passwd}, std::pair{"group", group}})
    if (status != kExitFailure && !(status == kExitProblems && options.strict) &&
        !invalidate_cache(db, &error))
      report(db, error);
  int keys = options.keys_map.empty() ? kExitOk
                                      : keys::build_keys(options.keys_map, options.policy, "build");
  return combine(combine(passwd, group), keys);
}

}  // namespace vesk::tool
