// From directory entries to map lines: every value checked, every choice
// reported, and both maps in a fixed order, so that an unchanged directory
// gives byte-identical maps.
#include <ctype.h>
#include <errno.h>
#include <ldap.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

#include "core/index_tool.h"
#include "sync.h"

namespace vesk::sync {

namespace {

// Bytes that break any field of a map line.
bool breaks_line(std::string_view text) {
  return text.find_first_of(std::string_view(":\n\r\0", 4)) != std::string_view::npos;
}

// A user or group name, or a member: also no list separator or blank.
bool bad_name(std::string_view name) {
  if (name.empty() || breaks_line(name)) return true;
  for (unsigned char c : name)
    if (c == ',' || isspace(c)) return true;
  return false;
}

bool parse_id(const std::vector<Value> &values, uint32_t *out) {
  if (values.size() != 1) return false;
  std::string text(values[0].view());
  return tool::parse_uint32(text, out);
}

// The DN in one canonical spelling (spaces, escapes and letter case made
// uniform), so that a member value finds the entry it names.
bool normalize_dn(std::string_view dn, std::string *out) {
  std::string text(dn);
  if (text.find('\0') != std::string::npos) return false;
  LDAPDN parsed = nullptr;
  if (ldap_str2dn(text.c_str(), &parsed, LDAP_DN_FORMAT_LDAPV3) != LDAP_SUCCESS) return false;
  char *canonical = nullptr;
  int rc = ldap_dn2str(parsed, &canonical, LDAP_DN_FORMAT_LDAPV3);
  ldap_dnfree(parsed);
  if (rc != LDAP_SUCCESS || canonical == nullptr) return false;
  out->assign(canonical);
  ldap_memfree(canonical);
  for (char &c : *out) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return true;
}

// Of several names, the one the entry's RDN holds, else the first.
std::string_view choose_name(std::string_view dn, const std::string &attribute,
                             const std::vector<Value> &values) {
  std::string text(dn);
  LDAPDN parsed = nullptr;
  std::string_view chosen = values[0].view();
  if (text.find('\0') == std::string::npos &&
      ldap_str2dn(text.c_str(), &parsed, LDAP_DN_FORMAT_LDAPV3) == LDAP_SUCCESS && parsed != nullptr &&
      parsed[0] != nullptr) {
    bool found = false;
    for (LDAPAVA **ava = parsed[0]; *ava != nullptr && !found; ++ava) {
      std::string_view type((*ava)->la_attr.bv_val, (*ava)->la_attr.bv_len);
      std::string_view value((*ava)->la_value.bv_val, (*ava)->la_value.bv_len);
      if (type.size() != attribute.size() ||
          strncasecmp(type.data(), attribute.data(), type.size()) != 0)
        continue;
      for (const Value &v : values)
        if (v.size == value.size() && strncasecmp(v.data, value.data(), v.size) == 0) {
          chosen = v.view();
          found = true;
          break;
        }
    }
  }
  if (parsed != nullptr) ldap_dnfree(parsed);
  return chosen;
}

bool by_id_then_name(const Line &a, const Line &b) {
  if (a.id != b.id) return a.id < b.id;
  return a.name() < b.name();
}

// Writes through a buffer; the first error sticks.
struct Writer {
  int fd;
  std::vector<char> buffer = std::vector<char>(1 << 20);
  size_t used = 0;
  int error = 0;
  void flush() {
    for (size_t done = 0; done < used && error == 0;) {
      ssize_t n = write(fd, buffer.data() + done, used - done);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) error = errno;
      else done += static_cast<size_t>(n);
    }
    used = 0;
  }
  void put(std::string_view text) {
    while (!text.empty()) {
      if (used == buffer.size()) flush();
      size_t n = std::min(text.size(), buffer.size() - used);
      memcpy(buffer.data() + used, text.data(), n);
      used += n;
      text.remove_prefix(n);
    }
  }
};

// Writes lines[order[0]], lines[order[1]], ...
bool write_lines(int fd, const std::vector<Line> &lines, const std::vector<uint32_t> &order,
                 std::string *error) {
  Writer w{fd};
  for (uint32_t i : order) {
    w.put(lines[i].line());
    w.put("\n");
  }
  w.flush();
  if (w.error != 0) *error = strerror(w.error);
  return w.error == 0;
}

}  // namespace

struct MapBuilder::Impl {
  const Settings &s;
  Tally *tally;
  Arena lines;  // every map line, and the names they hold
  std::vector<Line> users;  // in directory order
  std::vector<Line> groups;
  bool users_done = false;

  // Slots of the user attributes asked for; -1: not asked for.
  int u_name = 0, u_uid = 1, u_gid = 2, u_gecos = 3, u_cn = -1, u_home = -1, u_shell = -1;
  int u_lock = -1, u_uac = -1, u_keys = -1;
  // ssh_keys: the keys map's lines, and for each of `users` its first key
  // and count (keys are read with their user, so a user's stand together).
  std::vector<Line> keys;
  std::vector<uint32_t> first_key, key_count;
  // The names of the accounts left out as disabled: no group lists them.
  std::unordered_set<std::string_view> disabled_names;
  IdMapper *idmap = nullptr;  // id_mapping: objectSid and primaryGroupID in the id slots

  // rfc2307bis: each group's member DNs, resolved to users as they come
  // (all users are read first) or kept, for groups, until all are read;
  // and its memberUid names, taken as they are (as rfc2307's).
  struct BisGroup {
    std::string_view name;  // empty: a group without an id, read for nesting only
    uint32_t gid;
    uint32_t first_user, users;    // into member_users
    uint32_t first_dn, dns;        // into member_dns
    uint32_t first_name, names;    // into member_names
  };
  Arena dns;
  std::unordered_map<std::string_view, uint32_t> user_by_dn, group_by_dn;
  std::vector<BisGroup> bis_groups;
  std::vector<uint32_t> member_users;
  std::vector<std::string_view> member_dns;
  std::vector<std::string_view> member_names;
  std::vector<bool> user_out;  // read, but not exported (a name two entries hold)

  Impl(const Settings &settings, Tally *t) : s(settings), tally(t) {
    int next = 4;
    if (s.gecos_from_cn) u_cn = next++;
    if (s.home_template.empty()) u_home = next++;
    if (s.override_shell.empty()) u_shell = next++;
    if (s.exclude_disabled) u_lock = next++, u_uac = next++;
    if (s.ssh_keys) u_keys = next++;
    if (s.id_mapping) idmap = new IdMapper(s);
  }
  ~Impl() { delete idmap; }
  Impl(const Impl &) = delete;
  Impl &operator=(const Impl &) = delete;

  // lowercase_names and replace_blank, in names and member names alike.
  // The result is in `lines` when it differs from `name`.
  std::string_view adjust_name(std::string_view name) {
    if (!s.lowercase_names && s.replace_blank == 0) return name;
    size_t i = 0;
    for (; i < name.size(); ++i) {
      unsigned char c = static_cast<unsigned char>(name[i]);
      if ((s.lowercase_names && c >= 'A' && c <= 'Z') || (s.replace_blank != 0 && c == ' '))
        break;
    }
    if (i == name.size()) return name;
    char *p = lines.allocate(name.size());
    for (size_t k = 0; k < name.size(); ++k) {
      char c = name[k];
      if (s.lowercase_names && c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      if (s.replace_blank != 0 && c == ' ') c = s.replace_blank;
      p[k] = c;
    }
    return {p, name.size()};
  }

  // The user's keys as keys map lines.  A value is one authorized_keys
  // line; what would break the map (a newline, CR or NUL inside it) is
  // reported and left out.  The key itself is judged where the map is
  // installed.
  void add_keys(const Entry &e, std::string_view name, uint32_t uid) {
    first_key.push_back(static_cast<uint32_t>(keys.size()));
    key_count.push_back(0);
    if (u_keys < 0) return;
    char head[16];
    int head_len = snprintf(head, sizeof head, ":%u:", uid);
    for (const Value &v : e.values[static_cast<size_t>(u_keys)]) {
      ++tally->keys;
      std::string_view key = v.view();
      while (!key.empty() && (key.back() == '\n' || key.back() == ' ' || key.back() == '\t'))
        key.remove_suffix(1);
      if (key.empty() || key.find_first_of(std::string_view("\n\r\0", 3)) != key.npos ||
          key.size() > 16384) {
        ++tally->keys_left_out;
        report_entry(tally, e.dn, s.attr_ssh_key + " value \"" + printable(key.substr(0, 60)) +
                                      "\" is not one line of at most 16384 bytes; that key left out");
        continue;
      }
      size_t len = name.size() + static_cast<size_t>(head_len) + key.size();
      char *p = lines.allocate(len);
      memcpy(p, name.data(), name.size());
      memcpy(p + name.size(), head, static_cast<size_t>(head_len));
      memcpy(p + name.size() + head_len, key.data(), key.size());
      keys.push_back({p, static_cast<uint32_t>(len), static_cast<uint32_t>(name.size()), uid});
      ++key_count.back();
    }
  }

  // Control characters, ':' and newlines in the gecos become blanks: the
  // account stays, and the change is reported.
  std::string_view clean_gecos(const Entry &e, std::string_view gecos) {
    size_t i = 0;
    for (; i < gecos.size(); ++i) {
      unsigned char c = static_cast<unsigned char>(gecos[i]);
      if (c < 0x20 || c == 0x7f || c == ':') break;
    }
    if (i == gecos.size()) return gecos;
    char *p = lines.allocate(gecos.size());
    for (size_t k = 0; k < gecos.size(); ++k) {
      unsigned char c = static_cast<unsigned char>(gecos[k]);
      p[k] = c < 0x20 || c == 0x7f || c == ':' ? ' ' : static_cast<char>(c);
    }
    ++tally->noted;
    report_entry(tally, e.dn, "the gecos \"" + printable(gecos) +
                                  "\" holds ':' or control characters: exported with blanks "
                                  "in their place");
    return {p, gecos.size()};
  }

  // exclude_disabled: the directory marks the account as locked
  // (nsAccountLock) or disabled (userAccountControl's ACCOUNTDISABLE).
  bool disabled(const Entry &e) const {
    if (u_lock < 0) return false;
    for (const Value &v : e.values[static_cast<size_t>(u_lock)])
      if (v.size == 4 && strncasecmp(v.data, "TRUE", 4) == 0) return true;
    for (const Value &v : e.values[static_cast<size_t>(u_uac)]) {
      uint32_t flags;
      if (tool::parse_uint32(std::string(v.view()), &flags) && (flags & 2) != 0) return true;
    }
    return false;
  }

  // Drops the names of disabled accounts from `members`, counting them.
  void drop_disabled(std::vector<std::string_view> *members) {
    if (disabled_names.empty()) return;
    size_t before = members->size();
    members->erase(std::remove_if(members->begin(), members->end(),
                                  [&](std::string_view m) { return disabled_names.count(m) > 0; }),
                   members->end());
    tally->dropped_members += before - members->size();
  }

  void leave_out(std::string_view dn, const std::string &why) {
    ++tally->left_out;
    report_entry(tally, dn, why + "; left out");
  }

  // The entry's name, or empty after reporting why there is none.
  std::string_view name_of(const Entry &e, const std::string &attribute, int slot) {
    const std::vector<Value> &values = e.values[static_cast<size_t>(slot)];
    if (values.empty()) {
      leave_out(e.dn, "no " + attribute);
      return {};
    }
    std::string_view name = values[0].view();
    if (values.size() > 1) {
      name = choose_name(e.dn, attribute, values);
      ++tally->noted;
      report_entry(tally, e.dn, std::to_string(values.size()) + " values of " + attribute +
                                    ": exported as \"" + printable(name) + "\"");
    }
    name = adjust_name(name);
    if (bad_name(name)) {
      leave_out(e.dn, attribute + " \"" + printable(name) +
                          "\" is empty or holds ':', ',', a blank, a newline, a CR or a NUL");
      return {};
    }
    return name;
  }

  bool id_of(const Entry &e, const std::string &attribute, int slot, uint32_t *id) {
    const std::vector<Value> &values = e.values[static_cast<size_t>(slot)];
    if (parse_id(values, id)) return true;
    leave_out(e.dn, values.empty()    ? "no " + attribute
                    : values.size() > 1 ? std::to_string(values.size()) + " values of " + attribute
                                        : attribute + " \"" + printable(values[0].view()) +
                                              "\" is not a number from 0 to 4294967295");
    return false;
  }

  // The first value of a slot, or `fallback`.
  std::string_view first(const Entry &e, int slot, std::string_view fallback) const {
    if (slot < 0 || e.values[static_cast<size_t>(slot)].empty()) return fallback;
    return e.values[static_cast<size_t>(slot)][0].view();
  }

  // id_mapping: the id of the entry's objectSid in `slot`, or with
  // `rid_slot` >= 0 of the RID there (primaryGroupID) in its domain.
  bool mapped_id(const Entry &e, int slot, int rid_slot, uint32_t *id) {
    const std::vector<Value> &sid = e.values[static_cast<size_t>(slot)];
    int64_t rid = -1;
    std::string why;
    if (sid.size() != 1) {
      why = sid.empty() ? "no objectSid" : "several values of objectSid";
    } else if (rid_slot >= 0) {
      uint32_t r;
      if (!parse_id(e.values[static_cast<size_t>(rid_slot)], &r))
        why = "no primaryGroupID, or not a number";
      rid = r;
    }
    if (why.empty() && idmap->map(sid[0].view(), rid, id, &why)) return true;
    leave_out(e.dn, why);
    return false;
  }

  void add_user(const Entry &e) {
    ++tally->users;
    if (disabled(e)) {
      ++tally->disabled;
      for (const Value &v : e.values[static_cast<size_t>(u_name)])
        disabled_names.insert(dns.copy(adjust_name(v.view())));
      return;
    }
    std::string_view name = name_of(e, s.attr_name, u_name);
    if (name.empty()) return;
    uint32_t uid, gid;
    if (idmap != nullptr) {
      if (!mapped_id(e, u_uid, -1, &uid) || !mapped_id(e, u_uid, u_gid, &gid)) return;
    } else if (!id_of(e, s.attr_uid_number, u_uid, &uid) ||
               !id_of(e, s.attr_gid_number, u_gid, &gid)) {
      return;
    }
    std::string_view gecos = clean_gecos(e, first(e, u_gecos, first(e, u_cn, "")));
    std::string home;
    if (!s.home_template.empty()) {
      for (size_t i = 0; i < s.home_template.size(); ++i) {
        if (s.home_template[i] == '%' && s.home_template[++i] == 'u') home += name;
        else home += s.home_template[i];
      }
    } else {
      home = first(e, u_home, "");
    }
    std::string_view shell =
        !s.override_shell.empty() ? std::string_view(s.override_shell) : first(e, u_shell, "");
    if (shell.empty()) shell = s.default_shell;
    const char *field = breaks_line(home) ? "the home directory"
                        : breaks_line(shell) ? "the shell"
                                             : nullptr;
    if (field != nullptr) {
      leave_out(e.dn, std::string(field) + " holds ':', a newline, a CR or a NUL");
      return;
    }
    // "*": no password here and none elsewhere.  "x" would send PAM's
    // account stage looking for a shadow entry that no map provides, and it
    // refuses the user (ssh with a key, su).
    char ids[32];
    int ids_len = snprintf(ids, sizeof ids, ":*:%u:%u:", uid, gid);
    size_t len = name.size() + static_cast<size_t>(ids_len) + gecos.size() + 1 + home.size() + 1 +
                 shell.size();
    if (len > UINT32_MAX / 2) {
      leave_out(e.dn, "too long for a map line");
      return;
    }
    char *p = lines.allocate(len), *start = p;
    auto put = [&](std::string_view t) {
      memcpy(p, t.data(), t.size());
      p += t.size();
    };
    put(name), put({ids, static_cast<size_t>(ids_len)}), put(gecos), put(":"), put(home), put(":"),
        put(shell);
    if (s.member_dns()) {
      std::string dn;
      if (normalize_dn(e.dn, &dn))
        user_by_dn.emplace(dns.copy(dn), static_cast<uint32_t>(users.size()));
    }
    add_keys(e, name, uid);
    users.push_back({start, static_cast<uint32_t>(len), static_cast<uint32_t>(name.size()), uid});
  }

  void add_group(const Entry &e) {
    ++tally->groups;
    uint32_t gid = 0;
    if (s.member_dns() &&
        (idmap == nullptr ? e.values[1].empty()
                          : e.values[1].size() == 1 && !idmap->in_domain(e.values[1][0].view()))) {
      // No id (or a built-in group's SID, which maps to none): not a
      // group of the map, but its members are members of the groups that
      // hold it.
      ++tally->nesting_only;
      add_bis_group(e, {}, 0, {});
      return;
    }
    std::string_view name = name_of(e, s.attr_group_name, 0);
    if (name.empty()) return;
    if (idmap != nullptr ? !mapped_id(e, 1, -1, &gid) : !id_of(e, s.attr_gid_number, 1, &gid))
      return;
    // memberUid: slot 2 in rfc2307, 3 with DN-valued members (after member).
    const std::vector<Value> &values = e.values[s.member_dns() ? 3 : 2];
    std::vector<std::string_view> members;
    members.reserve(values.size());
    for (const Value &v : values) {
      std::string_view member = adjust_name(v.view());
      if (bad_name(member)) {
        leave_out(e.dn, s.attr_member_uid + " \"" + printable(v.view()) +
                            "\" is empty or holds ':', ',', a blank, a newline, a CR or a NUL");
        return;
      }
      members.push_back(member);
    }
    drop_disabled(&members);
    if (s.member_dns()) {
      add_bis_group(e, name, gid, members);
      return;
    }
    std::sort(members.begin(), members.end());
    members.erase(std::unique(members.begin(), members.end()), members.end());
    add_group_line(name, gid, members);
  }

  void add_group_line(std::string_view name, uint32_t gid,
                      const std::vector<std::string_view> &members) {
    char ids[32];
    int ids_len = snprintf(ids, sizeof ids, ":*:%u:", gid);  // no group password
    size_t len = name.size() + static_cast<size_t>(ids_len);
    for (std::string_view m : members) len += m.size() + 1;
    if (!members.empty()) --len;
    char *p = lines.allocate(len), *start = p;
    auto put = [&](std::string_view t) {
      memcpy(p, t.data(), t.size());
      p += t.size();
    };
    put(name), put({ids, static_cast<size_t>(ids_len)});
    for (size_t i = 0; i < members.size(); ++i) {
      if (i > 0) put(",");
      put(members[i]);
    }
    groups.push_back({start, static_cast<uint32_t>(len), static_cast<uint32_t>(name.size()), gid});
  }

  void add_bis_group(const Entry &e, std::string_view name, uint32_t gid,
                     const std::vector<std::string_view> &names) {
    BisGroup g{lines.copy(name), gid, static_cast<uint32_t>(member_users.size()), 0,
               static_cast<uint32_t>(member_dns.size()), 0,
               static_cast<uint32_t>(member_names.size()), static_cast<uint32_t>(names.size())};
    for (std::string_view n : names) member_names.push_back(dns.copy(n));
    std::string dn;
    for (const Value &v : e.values[2]) {
      if (!normalize_dn(v.view(), &dn)) {
        ++tally->dropped_members;
        continue;
      }
      auto user = user_by_dn.find(dn);
      if (user != user_by_dn.end()) {
        member_users.push_back(user->second);
      } else {
        member_dns.push_back(dns.copy(dn));  // a group, or nothing exported
      }
    }
    g.users = static_cast<uint32_t>(member_users.size()) - g.first_user;
    g.dns = static_cast<uint32_t>(member_dns.size()) - g.first_dn;
    if (normalize_dn(e.dn, &dn))
      group_by_dn.emplace(dns.copy(dn), static_cast<uint32_t>(bis_groups.size()));
    bis_groups.push_back(g);
  }

  // Leaves out every entry of a name that several entries hold: which of
  // them a lookup should answer with can't be told.
  template <typename Out>
  void drop_duplicates(std::vector<Line> &list, const char *what, Out out) {
    std::vector<uint32_t> order(list.size());
    for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
      return list[a].name() < list[b].name() || (list[a].name() == list[b].name() && a < b);
    });
    for (size_t i = 0; i < order.size();) {
      size_t j = i + 1;
      while (j < order.size() && list[order[j]].name() == list[order[i]].name()) ++j;
      if (j - i > 1) {
        tally->left_out += j - i;
        report_entry(tally, "sync",
                     std::to_string(j - i) + " " + what + " entries are named \"" +
                         printable(list[order[i]].name()) + "\"; all left out");
        for (size_t k = i; k < j; ++k) out(order[k]);
      }
      i = j;
    }
  }

  void finish_users() {
    if (users_done) return;
    users_done = true;
    user_out.assign(users.size(), false);
    drop_duplicates(users, "user", [&](uint32_t i) { user_out[i] = true; });
  }

  // rfc2307bis: each group's members, with those of the groups it holds
  // (and theirs: each group is visited once, so a cycle ends).
  void resolve_bis_groups() {
    std::vector<uint32_t> seen(bis_groups.size(), UINT32_MAX);
    std::vector<int32_t> nested(member_dns.size(), -1);
    for (size_t i = 0; i < member_dns.size(); ++i) {
      auto g = group_by_dn.find(member_dns[i]);
      if (g != group_by_dn.end()) nested[i] = static_cast<int32_t>(g->second);
      else ++tally->dropped_members;
    }
    for (const BisGroup &g : bis_groups)
      for (uint32_t k = 0; k < g.users; ++k)
        if (user_out[member_users[g.first_user + k]]) ++tally->dropped_members;
    std::vector<uint32_t> stack;
    std::vector<std::string_view> members;
    for (uint32_t i = 0; i < bis_groups.size(); ++i) {
      if (bis_groups[i].name.empty()) continue;  // read for nesting only
      members.clear();
      stack.assign(1, i);
      seen[i] = i;
      while (!stack.empty()) {
        const BisGroup &g = bis_groups[stack.back()];
        stack.pop_back();
        for (uint32_t k = 0; k < g.users; ++k) {
          uint32_t u = member_users[g.first_user + k];
          if (!user_out[u]) members.push_back(users[u].name());
        }
        for (uint32_t k = 0; k < g.names; ++k) members.push_back(member_names[g.first_name + k]);
        for (uint32_t k = 0; k < g.dns; ++k) {
          int32_t n = nested[g.first_dn + k];
          if (n >= 0 && seen[static_cast<size_t>(n)] != i) {
            seen[static_cast<size_t>(n)] = i;
            stack.push_back(static_cast<uint32_t>(n));
          }
        }
      }
      std::sort(members.begin(), members.end());
      members.erase(std::unique(members.begin(), members.end()), members.end());
      add_group_line(bis_groups[i].name, bis_groups[i].gid, members);
    }
    bis_groups.clear();
    member_users.clear();
    member_dns.clear();
    member_names.clear();
  }
};

MapBuilder::MapBuilder(const Settings &s, Tally *tally) : impl_(new Impl(s, tally)) {}
MapBuilder::~MapBuilder() { delete impl_; }

std::vector<std::string> MapBuilder::user_attributes() const {
  const Settings &s = impl_->s;
  std::vector<std::string> a = {s.attr_name, s.id_mapping ? "objectSid" : s.attr_uid_number,
                                s.id_mapping ? "primaryGroupID" : s.attr_gid_number,
                                s.attr_gecos};
  if (impl_->u_cn >= 0) a.push_back("cn");
  if (impl_->u_home >= 0) a.push_back(s.attr_home);
  if (impl_->u_shell >= 0) a.push_back(s.attr_shell);
  if (impl_->u_lock >= 0) a.push_back("nsAccountLock"), a.push_back("userAccountControl");
  if (impl_->u_keys >= 0) a.push_back(s.attr_ssh_key);
  return a;
}

std::vector<std::string> MapBuilder::group_attributes() const {
  const Settings &s = impl_->s;
  // rfc2307bis and ad read both: groups migrated from RFC 2307 or NIS
  // often hold memberUid names beside (or instead of) member DNs.
  if (s.member_dns())
    return {s.attr_group_name, s.id_mapping ? "objectSid" : s.attr_gid_number, s.attr_member,
            s.attr_member_uid};
  return {s.attr_group_name, s.attr_gid_number, s.attr_member_uid};
}

void MapBuilder::add_user(const Entry &e) { impl_->add_user(e); }
void MapBuilder::add_group(const Entry &e) { impl_->add_group(e); }

// The records not left out, by id then name.  An order of indexes rather
// than a sorted copy: group members refer to users by index.
static std::vector<uint32_t> map_order(const std::vector<Line> &lines,
                                       const std::vector<bool> &out) {
  std::vector<uint32_t> order;
  order.reserve(lines.size());
  for (uint32_t i = 0; i < lines.size(); ++i)
    if (!out[i]) order.push_back(i);
  std::sort(order.begin(), order.end(),
            [&](uint32_t a, uint32_t b) { return by_id_then_name(lines[a], lines[b]); });
  return order;
}

bool MapBuilder::write_passwd(int fd, std::string *error) {
  Impl &m = *impl_;
  m.finish_users();
  return write_lines(fd, m.users, map_order(m.users, m.user_out), error);
}

bool MapBuilder::write_keys(int fd, std::string *error) {
  Impl &m = *impl_;
  m.finish_users();
  std::vector<uint32_t> order;
  for (uint32_t u : map_order(m.users, m.user_out))
    for (uint32_t k = 0; k < m.key_count[u]; ++k) order.push_back(m.first_key[u] + k);
  return write_lines(fd, m.keys, order, error);
}

bool MapBuilder::write_group(int fd, std::string *error) {
  Impl &m = *impl_;
  m.finish_users();
  if (m.s.member_dns()) m.resolve_bis_groups();
  std::vector<bool> out(m.groups.size(), false);
  m.drop_duplicates(m.groups, "group", [&](uint32_t i) { out[i] = true; });
  return write_lines(fd, m.groups, map_order(m.groups, out), error);
}

void MapBuilder::clear() {
  Impl &m = *impl_;
  std::vector<Line>().swap(m.users);
  std::vector<Line>().swap(m.groups);
  std::vector<Line>().swap(m.keys);
  std::unordered_map<std::string_view, uint32_t>().swap(m.user_by_dn);
  std::unordered_map<std::string_view, uint32_t>().swap(m.group_by_dn);
  std::vector<bool>().swap(m.user_out);
  std::unordered_set<std::string_view>().swap(m.disabled_names);
  m.lines.clear();
  m.dns.clear();
}

}  // namespace vesk::sync
