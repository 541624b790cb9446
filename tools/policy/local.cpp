// What the content policy knows of the host before it judges a record: the
// local accounts and groups (read with the C library's own readers, so the
// policy sees what `files` serves), the names a map may not take, the id
// ranges it may not use, and the groups that grant privilege.
#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <regex.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>

#include <algorithm>
#include <unordered_set>

#include "core/index_tool.h"
#include "map/database.h"
#include "map/files.h"

namespace vesk::tool {

std::vector<std::string> Policy::default_reserved_names() {
  // Accounts and groups that Debian's base system and commonly installed
  // packages create when they are installed, often long after the maps
  // are: a map user of such a name would be taken for the package's own
  // account (postgresql-common creates none when `postgres` resolves), and
  // a map group would make `addgroup --system` fail or hand out its
  // privilege (docker, lxd, libvirt and kvm are root-equivalent; sudo,
  // admin and wheel name administrators in sudoers).
  return {
      "root", "daemon", "bin", "sys", "sync", "games", "man", "lp", "mail", "news", "uucp",
      "proxy", "www-data", "backup", "list", "irc", "gnats", "nobody", "nogroup", "adm", "tty",
      "disk", "kmem", "dialout", "fax", "voice", "cdrom", "floppy", "tape", "sudo", "audio",
      "dip", "operator", "src", "shadow", "utmp", "video", "sasl", "plugdev", "staff", "users",
      "input", "sgx", "kvm", "render", "netdev", "admin", "wheel", "lpadmin", "sambashare",
      "docker", "lxd", "libvirt", "libvirt-qemu", "libvirt-dnsmasq", "incus", "incus-admin",
      "systemd-journal", "systemd-network", "systemd-resolve", "systemd-timesync",
      "systemd-coredump", "systemd-oom", "messagebus", "_apt", "sshd", "_ssh", "ssh",
      "polkitd", "tss", "uuidd", "tcpdump", "avahi", "colord", "saned", "pulse", "rtkit",
      "postgres", "mysql", "redis", "memcache", "mongodb", "rabbitmq", "postfix", "postdrop",
      "dovecot", "dovenull", "bind", "named", "openldap", "nslcd", "nscd", "unbound",
      "dnsmasq", "_chrony", "ntp", "ntpsec", "statd", "_rpc", "debian-tor", "clamav",
      "nagios", "zabbix", "prometheus", "grafana", "elasticsearch", "jenkins", "tomcat",
      "git", "gitlab", "ftp", "haproxy", "squid", "nginx", "apache", "syslog", "crontab",
      "ssl-cert", "bluetooth", "scanner", "lightdm", "gdm", "vesk-index"};
}

bool default_name_rule(std::string_view name) {
  if (name.empty()) return false;
  if (!(name[0] == '_' || (name[0] >= 'a' && name[0] <= 'z'))) return false;
  size_t end = name.back() == '$' ? name.size() - 1 : name.size();
  for (size_t i = 1; i < end; ++i) {
    char c = name[i];
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.'))
      return false;
  }
  return end > 0;
}

PolicyCheck::~PolicyCheck() {
  if (name_regex != nullptr) {
    regfree(static_cast<regex_t *>(name_regex));
    delete static_cast<regex_t *>(name_regex);
  }
}

const TakenName *PolicyCheck::taken_by(std::string_view name, bool user) const {
  if (!maybe_taken(name)) return nullptr;
  std::string folded(name);
  for (char &c : folded) c = static_cast<char>(fold(static_cast<unsigned char>(c)));
  auto it = taken.find(folded);
  if (it == taken.end()) return nullptr;
  // A stale membership passes to the very name a group lists (initgroups
  // compares bytes), and only to a user.
  if (it->second.kind == TakenName::StaleMember && (!user || it->second.name != name))
    return nullptr;
  return &it->second;
}

const IdRange *PolicyCheck::range_of(bool uid, uint32_t id) const {
  for (const IdRange &r : uid ? uid_ranges : gid_ranges)
    if (id >= r.first && id <= r.last) return &r;
  return nullptr;
}

namespace {

// Opens a local file as a stream: a missing file is an empty one.
bool open_local(const std::string &path, FILE **file, std::string *error) {
  *file = nullptr;
  struct stat st;
  Fd fd(open_regular(path.c_str(), &st));
  if (fd.fd < 0) {
    if (errno == ENOENT) return true;
    *error = path + ": " + (errno == EINVAL ? "not a regular file" : strerror(errno));
    return false;
  }
  *file = fdopen(fd.fd, "r");
  if (*file == nullptr) {
    *error = path + ": " + strerror(errno);
    return false;
  }
  fd.release();
  return true;
}

// Calls `each` for every entry the C library's reader (fgetpwent_r or
// fgetgrent_r) yields from `path`, compat entries ('+', '-') excepted, as
// `files` answers none of them.
template <typename Record, typename Read, typename Each>
bool read_entries(const std::string &path, Read read, Each each, std::string *error) {
  FILE *file;
  if (!open_local(path, &file, error)) return false;
  if (file == nullptr) return true;
  std::vector<char> buffer(16384);
  Record entry, *out;
  int rc;
  for (;;) {
    rc = read(file, &entry, buffer.data(), buffer.size(), &out);
    if (rc == ERANGE && buffer.size() < (64u << 20)) {
      buffer.resize(buffer.size() * 2);  // the reader left the line unread
      continue;
    }
    if (rc != 0) break;
    const char *name = Database<Record>::name(entry);
    if (name[0] != '+' && name[0] != '-') each(entry);
  }
  fclose(file);
  if (rc != ENOENT) {
    *error = path + ": can't read: " + strerror(rc);
    return false;
  }
  return true;
}

// "NAME:FIRST:COUNT" lines of /etc/subuid or /etc/subgid, as the shadow
// tools read them; other lines name no range.
bool read_subordinate(const std::string &path, std::vector<IdRange> *ranges, std::string *error) {
  FILE *file;
  if (!open_local(path, &file, error)) return false;
  if (file == nullptr) return true;
  char *line = nullptr;
  size_t capacity = 0;
  while (getline(&line, &capacity, file) > 0) {
    char *first = strchr(line, ':');
    char *count = first != nullptr ? strchr(first + 1, ':') : nullptr;
    if (count == nullptr) continue;
    char *end;
    errno = 0;
    unsigned long long start = strtoull(first + 1, &end, 10), n;
    if (errno != 0 || end != count || start > UINT32_MAX) continue;
    n = strtoull(count + 1, &end, 10);
    if (errno != 0 || n == 0 || (*end != '\n' && *end != '\0')) continue;
    unsigned long long last = std::min<unsigned long long>(start + n - 1, UINT32_MAX);
    ranges->push_back({static_cast<uint32_t>(start), static_cast<uint32_t>(last),
                       "the subordinate ids " + std::to_string(start) + "-" + std::to_string(last) +
                           " of " + std::string(line, first) + " (" + path +
                           "): that local user owns them in a user namespace"});
  }
  bool failed = ferror(file) != 0;
  free(line);
  fclose(file);
  if (failed) *error = path + ": can't read";
  return !failed;
}

void add_systemd_ranges(const Policy &policy, std::vector<IdRange> *ranges) {
  ranges->push_back({61184, 65519, "systemd's range for dynamic service users (61184-65519)"});
  if (!policy.allow_container_ids)
    ranges->push_back({524288, 1879048191,
                       "systemd's range for containers' ids (524288-1879048191; [policy] "
                       "allow_container_ids = yes accepts it)"});
}

uint32_t first_of(std::vector<IdRange> *ranges) {
  std::sort(ranges->begin(), ranges->end(),
            [](const IdRange &a, const IdRange &b) { return a.first < b.first; });
  return ranges->empty() ? UINT32_MAX : ranges->front().first;
}

// Which of `names` are users of the passwd map at `path` (lines written by
// install: the name runs from the line's start to its first ':').
std::unordered_set<std::string> served_among(const std::string &path,
                                             const std::unordered_set<std::string> &names) {
  std::unordered_set<std::string> served;
  struct stat st;
  Fd fd(open_regular(path.c_str(), &st));
  if (fd.fd < 0 || st.st_size <= 0) return served;
  size_t size = static_cast<size_t>(st.st_size);
  void *m = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd.fd, 0);
  if (m == MAP_FAILED) return served;
  std::bitset<65536> filter;
  for (const std::string &n : names) filter.set(PolicyCheck::filter_key(n));
  const char *p = static_cast<const char *>(m), *end = p + size;
  while (p < end) {
    const char *nl = static_cast<const char *>(memchr(p, '\n', static_cast<size_t>(end - p)));
    const char *line_end = nl != nullptr ? nl : end;
    const char *colon = static_cast<const char *>(memchr(p, ':', static_cast<size_t>(line_end - p)));
    if (colon != nullptr && colon > p) {
      std::string_view name(p, static_cast<size_t>(colon - p));
      if (filter.test(PolicyCheck::filter_key(name)) && names.count(std::string(name)) != 0)
        served.emplace(name);
    }
    p = line_end + 1;
  }
  munmap(m, size);
  return served;
}

void take(PolicyCheck *check, std::string_view name, TakenName::Kind kind, std::string group = "") {
  std::string folded(name);
  for (char &c : folded) c = static_cast<char>(PolicyCheck::fold(static_cast<unsigned char>(c)));
  if (check->taken.emplace(folded, TakenName{std::string(name), kind, std::move(group)}).second)
    check->taken_filter.set(PolicyCheck::filter_key(name));
}

}  // namespace

bool prepare_policy(const Policy &policy, PolicyCheck *check, std::string *error) {
  check->policy = policy;
  auto keep = [&](const char *name) -> std::string_view {
    check->storage.emplace_back(name);
    return check->storage.back();
  };
  std::vector<std::pair<std::string, std::vector<std::string>>> memberships;
  if (!read_entries<struct passwd>(policy.local_passwd, fgetpwent_r,
                                   [&](const struct passwd &pw) {
                                     std::string_view name = keep(pw.pw_name);
                                     check->user_names.emplace(name, pw.pw_uid);
                                     check->user_ids.emplace(pw.pw_uid, name);
                                   },
                                   error) ||
      !read_entries<struct group>(policy.local_group, fgetgrent_r,
                                  [&](const struct group &gr) {
                                    std::string_view name = keep(gr.gr_name);
                                    check->group_names.emplace(name, gr.gr_gid);
                                    check->group_ids.emplace(gr.gr_gid, name);
                                    std::vector<std::string> members;
                                    for (char **m = gr.gr_mem; *m != nullptr; ++m)
                                      members.emplace_back(*m);
                                    if (!members.empty()) memberships.emplace_back(gr.gr_name, members);
                                  },
                                  error))
    return false;
  for (const auto &[name, id] : check->user_names) {
    check->local_user_filter.set(PolicyCheck::filter_key(name));
    check->max_uid = std::max(check->max_uid, id);
  }
  for (const auto &[name, id] : check->group_names) check->max_gid = std::max(check->max_gid, id);
  for (const auto &[name, id] : check->user_names) take(check, name, TakenName::LocalUser);
  for (const auto &[name, id] : check->group_names) take(check, name, TakenName::LocalGroup);
  for (const std::string &name : policy.reserved_names) take(check, name, TakenName::Reserved);

  // Members of local groups that no local account holds: a removed
  // account's leftovers, or directory users given a local group on
  // purpose.  Those the map in service already serves keep it.
  if (!policy.accept_new_local_members) {
    std::unordered_set<std::string> strangers;
    for (const auto &[group, members] : memberships)
      for (const std::string &m : members)
        if (check->user_names.count(m) == 0 && !m.empty() && m[0] != '+' && m[0] != '-')
          strangers.insert(m);
    std::unordered_set<std::string> served;
    if (!strangers.empty() && !policy.served_passwd_map.empty())
      served = served_among(policy.served_passwd_map, strangers);
    if (policy.served_passwd_map.empty()) served = strangers;
    for (const auto &[group, members] : memberships)
      for (const std::string &m : members)
        if (strangers.count(m) != 0 && served.count(m) == 0)
          take(check, m, TakenName::StaleMember, group);
  }

  if (!read_subordinate(policy.local_subuid, &check->uid_ranges, error) ||
      !read_subordinate(policy.local_subgid, &check->gid_ranges, error))
    return false;
  add_systemd_ranges(policy, &check->uid_ranges);
  add_systemd_ranges(policy, &check->gid_ranges);
  check->first_ranged_uid = first_of(&check->uid_ranges);
  check->first_ranged_gid = first_of(&check->gid_ranges);

  // Groups that grant privilege on stock systems are never a map user's
  // primary group, whatever allow_gid says.
  check->privileged_gids.push_back(0);
  for (const char *name : {"root", "sudo", "admin", "wheel", "adm", "shadow", "disk", "kmem",
                           "docker", "lxd", "libvirt"})
    if (auto it = check->group_names.find(name); it != check->group_names.end())
      check->privileged_gids.push_back(it->second);
  for (uint32_t gid : policy.allow_gid)
    if (std::find(check->privileged_gids.begin(), check->privileged_gids.end(), gid) !=
        check->privileged_gids.end()) {
      auto it = check->group_ids.find(gid);
      *error = "allow_gid: gid " + std::to_string(gid) +
               (it != check->group_ids.end() ? " is the local group \"" + std::string(it->second) + "\", which"
                                             : " (root's group)") +
               " grants privilege; it can't be allowed as a primary group";
      return false;
    }

  if (!policy.name_regex.empty()) {
    auto *re = new regex_t;
    int rc = regcomp(re, policy.name_regex.c_str(), REG_EXTENDED | REG_NOSUB);
    if (rc != 0) {
      char text[256];
      regerror(rc, re, text, sizeof text);
      delete re;
      *error = "name_regex: " + std::string(text) + ": " + policy.name_regex;
      return false;
    }
    check->name_regex = re;
  }
  return true;
}

}  // namespace vesk::tool
