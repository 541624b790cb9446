#include "keys/keys_commands.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "keys/keys_map.h"
#include "lookup/index_format.h"
#include "nss_vesk.h"

namespace vesk::keys {

namespace {

using tool::kExitFailure;
using tool::kExitInstalledWithProblems;
using tool::kExitOk;
using tool::kExitProblems;
using tool::kExitRefused;

bool exists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// The users' first lines in index order: what the index must hold.
std::vector<const KeyRecord *> index_entries(const KeysScan &scan) {
  std::vector<const KeyRecord *> first;
  for (const KeyRecord &r : scan.kept)
    if (first.empty() || first.back()->user != r.user) first.push_back(&r);
  std::sort(first.begin(), first.end(),
            [](const KeyRecord *a, const KeyRecord *b) { return a->user < b->user; });
  return first;
}

// Compares the index beside `map` with what it must hold.  "" when usable.
std::string judge_index(const std::string &map, const struct stat &map_st, const KeysScan &scan) {
  std::string path = map + NSS_VESK_SUFFIX_NAME, text, error;
  struct stat st;
  if (!read_file(path, &text, &st, &error))
    return errno == ENOENT ? path + ": missing (vesk-index build writes it)" : error;
  if (st.st_mtime < map_st.st_mtime) return path + ": older than its map (not used; vesk-index build)";
  std::vector<const KeyRecord *> want = index_entries(scan);
  size_t len = vesk::index_record_length(text.data(), text.size());
  if (want.empty() && text.empty()) return "";
  if (len == 0 || text.size() % len != 0 || text.size() / len != want.size())
    return path + ": does not hold one entry per user of its map (vesk-index build)";
  for (size_t i = 0; i < want.size(); ++i) {
    const char *record = text.data() + i * len;
    size_t key_len = vesk::index_key_length(record, len);
    if (key_len == SIZE_MAX || record[len - 1] != '\n' ||
        std::string_view(record, key_len) != want[i]->user ||
        vesk::index_record_offset(record, len, key_len) != static_cast<int64_t>(want[i]->offset))
      return path + ": entry " + std::to_string(i + 1) + " disagrees with the map (vesk-index build)";
  }
  return "";
}

void report_problems(const char *command, const std::string &file, const KeysScan &scan,
                     std::string *messages) {
  for (const tool::Problem &p : scan.problems)
    tool::add_message(messages, command, tool::at_line(file, p.line) + ": " + p.text);
}

// name -> uid of a passwd map (name:password:uid:...).
bool read_users(const std::string &path, std::string *text,
                std::unordered_map<std::string_view, uint32_t> *users, std::string *error) {
  struct stat st;
  if (!read_file(path, text, &st, error)) return false;
  std::string_view all(*text);
  for (size_t pos = 0; pos < all.size();) {
    size_t nl = all.find('\n', pos);
    std::string_view line = all.substr(pos, nl == all.npos ? all.npos : nl - pos);
    pos = nl == all.npos ? all.size() : nl + 1;
    size_t c1 = line.find(':'), c2 = c1 == line.npos ? c1 : line.find(':', c1 + 1);
    if (c1 == 0 || c2 == line.npos) continue;
    uint32_t uid;
    size_t c3 = line.find(':', c2 + 1);
    if (c3 == line.npos || !tool::parse_uint32(std::string(line.substr(c2 + 1, c3 - c2 - 1)), &uid))
      continue;
    users->emplace(line.substr(0, c1), uid);
  }
  return true;
}

}  // namespace

int check_keys(const std::string &map, const tool::Policy &policy, bool report, KeysHealth *h) {
  if (!exists(map)) return kExitOk;
  h->present = true;
  std::string text, error;
  struct stat st;
  if (!read_file(map, &text, &st, &error)) {
    h->problem = error;
    if (report) tool::report("check", error);
    return kExitFailure;
  }
  h->readable = true;
  KeysRules rules;
  rules.allow_options = policy.allow_options;
  rules.leave_out = false;
  KeysScan scan;
  scan_keys(text.data(), text.size(), rules, &scan);
  h->keys = scan.kept.size();
  h->users = index_entries(scan).size();
  h->problems = scan.problems.size();
  std::string messages;
  report_problems("check", map, scan, &messages);
  std::string index = judge_index(map, st, scan);
  h->index_usable = index.empty();
  if (!index.empty()) tool::add_message(&messages, "check", index);
  if (!scan.problems.empty()) h->problem = tool::at_line(map, scan.problems[0].line) + ": " + scan.problems[0].text;
  else h->problem = index;
  if (report && !messages.empty()) fputs(messages.c_str(), stderr);
  if (report && index.empty())
    printf("%s: %llu keys of %llu users; its index is fresh and complete\n", map.c_str(),
           static_cast<unsigned long long>(h->keys), static_cast<unsigned long long>(h->users));
  return scan.problems.empty() && index.empty() ? kExitOk : kExitProblems;
}

int build_keys(const std::string &map, const tool::Policy &policy, const char *command) {
  if (!exists(map)) return kExitOk;
  std::string text, error;
  struct stat st;
  if (!read_file(map, &text, &st, &error)) {
    tool::report(command, error);
    return kExitFailure;
  }
  KeysRules rules;
  rules.allow_options = policy.allow_options;
  rules.leave_out = false;
  KeysScan scan;
  scan_keys(text.data(), text.size(), rules, &scan);
  std::string messages;
  report_problems(command, map, scan, &messages);
  fputs(messages.c_str(), stderr);
  std::vector<tool::PendingIndex> pending(1);
  struct stat now;
  if (!write_keys_index(scan, map, st.st_mtim, &pending[0], &error) ||
      stat(map.c_str(), &now) != 0 || now.st_ino != st.st_ino || now.st_size != st.st_size ||
      now.st_mtim.tv_sec != st.st_mtim.tv_sec || now.st_mtim.tv_nsec != st.st_mtim.tv_nsec) {
    if (error.empty()) error = map + " changed while it was read; nothing written (run again)";
    tool::discard(&pending[0]);
    tool::report(command, error);
    return kExitFailure;
  }
  if (!tool::commit(&pending, &error)) {
    tool::report(command, error);
    return kExitFailure;
  }
  return scan.problems.empty() ? kExitOk : kExitProblems;
}

int install_keys(const KeysInstall &o, const tool::Policy &policy) {
  const char *cmd = "install";
  std::string staged = o.staged.empty() ? o.map + ".new" : o.staged;
  bool named = !o.staged.empty();
  struct stat found;
  bool have_staged = (named || o.default_staged) && lstat(staged.c_str(), &found) == 0;
  if (!have_staged && named) {
    tool::report(cmd, staged + ": " + strerror(errno));
    return kExitFailure;
  }
  // Nothing staged: the current map is judged again against the new
  // passwd map and the local accounts.
  std::string source = have_staged ? staged : o.map;
  std::string label = have_staged ? (o.label.empty() ? staged : o.label) : o.map;
  if (!have_staged && !exists(o.map)) return kExitOk;
  if (have_staged && S_ISLNK(found.st_mode) && !o.follow_symlinks) {
    tool::report(cmd, label + ": is a symbolic link (--follow-symlinks installs what it points to); nothing installed");
    return kExitRefused;
  }
  std::string text, error, users_text;
  struct stat st;
  if (!read_file(source, &text, &st, &error)) {
    tool::report(cmd, error);
    return kExitFailure;
  }
  std::unordered_map<std::string_view, uint32_t> users, locals;
  std::string locals_text;
  if (!read_users(o.passwd_map, &users_text, &users, &error) ||
      (exists(policy.local_passwd) && !read_users(policy.local_passwd, &locals_text, &locals, &error))) {
    tool::report(cmd, error);
    return kExitFailure;
  }
  KeysRules rules;
  rules.allow_options = policy.allow_options;
  rules.user_check = [&](std::string_view user, uint32_t uid, std::string *reason) {
    if (locals.count(user) != 0) {
      *reason = "key for local account " + std::string(user) + " (keys are served only for users of the map)";
      return false;
    }
    auto it = users.find(user);
    if (it == users.end()) {
      *reason = "key for " + std::string(user) + ", whom " + o.passwd_map + " does not serve";
      return false;
    }
    if (it->second != uid) {
      *reason = "key for " + std::string(user) + " with uid " + std::to_string(uid) + ", which " +
                o.passwd_map + " gives uid " + std::to_string(it->second);
      return false;
    }
    return true;
  };
  KeysScan scan;
  scan_keys(text.data(), text.size(), rules, &scan);
  std::string messages;
  report_problems(cmd, label, scan, &messages);
  fputs(messages.c_str(), stderr);
  int status = scan.problems.empty() ? kExitOk : kExitInstalledWithProblems;
  if (o.strict && !scan.problems.empty()) {
    tool::report(cmd, label + ": lines refused (--strict); nothing installed");
    return kExitRefused;
  }

  // The guard: a new map that loses most of the current keys is more
  // likely a broken export than a decision.
  if (have_staged && !o.force && exists(o.map)) {
    std::string current, e;
    struct stat cst;
    KeysScan before;
    KeysRules any;
    any.leave_out = false;
    if (read_file(o.map, &current, &cst, &e)) scan_keys(current.data(), current.size(), any, &before);
    size_t was = before.kept.size(), now = scan.kept.size();
    if (was > 0 && now < was &&
        static_cast<double>(was - now) * 100 > o.max_drop * static_cast<double>(was)) {
      char limit[32];
      snprintf(limit, sizeof limit, "%g%%", o.max_drop);
      tool::report(cmd, label + ": would drop " + std::to_string(was - now) + " of " +
                            std::to_string(was) + " keys, more than --max-drop " + limit +
                            " (--force installs it); nothing installed");
      return kExitRefused;
    }
  }
  printf("%s: %zu keys of %zu users, %zu lines left out%s\n", o.map.c_str(), scan.kept.size(),
         index_entries(scan).size(), scan.problems.size(), o.dry_run ? " (dry run: nothing changed)" : "");
  if (o.dry_run) return status;

  std::string temp;
  if (!write_kept(&scan, text.data(), o.map, &temp, &error)) {
    tool::report(cmd, error);
    return kExitFailure;
  }
  struct stat written;
  std::vector<tool::PendingIndex> pending(1);
  if (stat(temp.c_str(), &written) != 0 ||
      !write_keys_index(scan, o.map, written.st_mtim, &pending[0], &error)) {
    tool::drop_temp(&temp);
    tool::report(cmd, error.empty() ? strerror(errno) : error);
    return kExitFailure;
  }
  // The index first, the map last (as for the other maps): the new index
  // beside the old map can only make a lookup scan the old map.
  pending.push_back({o.map, temp});
  if (!tool::commit(&pending, &error)) {
    tool::report(cmd, error);
    return kExitFailure;
  }
  if (have_staged && !named) {
    struct stat again;
    if (lstat(staged.c_str(), &again) == 0 && again.st_ino == found.st_ino &&
        again.st_mtim.tv_nsec == found.st_mtim.tv_nsec && again.st_mtim.tv_sec == found.st_mtim.tv_sec)
      unlink(staged.c_str());
  }
  return status;
}

}  // namespace vesk::keys
