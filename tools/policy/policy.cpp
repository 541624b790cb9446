// The content policy: which records a map may put in service.
#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <regex.h>

#include <algorithm>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/index_tool.h"
#include "keys/key_line.h"
#include "map/files.h"

namespace vesk::tool {

namespace {

// UID_MIN and GID_MIN of login.defs ("KEY VALUE" lines, '#' comments).  A
// missing file or key leaves the default; a value that is not a number is
// an error, since a typo there must not lower the minimum.
bool read_login_defs(const std::string &path, Policy *policy, std::string *error) {
  struct stat st;
  Fd fd(open_regular(path.c_str(), &st));
  if (fd.fd < 0) return errno == ENOENT;
  FILE *file = fdopen(fd.fd, "r");
  if (file == nullptr) return false;
  fd.release();
  char line[1024];
  int number = 0;
  bool ok = true;
  while (ok && fgets(line, sizeof line, file) != nullptr) {
    ++number;
    char key[64], value[64];
    if (sscanf(line, " %63s %63s", key, value) != 2 || key[0] == '#') continue;
    uint32_t *target = strcmp(key, "UID_MIN") == 0   ? &policy->min_uid
                       : strcmp(key, "GID_MIN") == 0 ? &policy->min_gid
                                                     : nullptr;
    if (target != nullptr && !parse_uint32(value, target)) {
      *error = path + ":" + std::to_string(number) + ": " + key + ": not an id: " + value;
      ok = false;
    }
  }
  fclose(file);
  return ok;
}

}  // namespace

bool load_policy(const Config &config, Policy *policy, std::string *error) {
  if (!read_login_defs(policy->login_defs, policy, error)) {
    if (error->empty()) *error = policy->login_defs + ": can't read: " + strerror(errno);
    return false;
  }
  for (const ConfigEntry &e : config.entries) {
    if (e.section == "keys" && e.key == "allow_options") {
      for (std::string word : parse_list(e.value)) {
        for (char &c : word) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        if (!keys::known_option(word)) {
          *error = config.where(e) + ": allow_options: not an authorized_keys option: " + word;
          return false;
        }
        policy->allow_options.push_back(word);
      }
    }
    if (e.section != "policy") continue;
    bool ok = true;
    if (e.key == "min_uid") {
      ok = parse_uint32(e.value, &policy->min_uid);
    } else if (e.key == "min_gid") {
      ok = parse_uint32(e.value, &policy->min_gid);
    } else if (e.key == "allow_gid") {
      for (const std::string &word : parse_list(e.value)) {
        uint32_t gid;
        ok = ok && parse_uint32(word, &gid);
        if (ok) policy->allow_gid.push_back(gid);
      }
    } else if (e.key == "name_regex") {
      policy->name_regex = e.value;  // compiled (and checked) by prepare_policy
    } else if (e.key == "reserved_names") {
      // "default" stands for the built-in list, so a site can add to it.
      policy->reserved_names.clear();
      for (const std::string &word : parse_list(e.value)) {
        if (word == "default") {
          for (std::string &n : Policy::default_reserved_names()) policy->reserved_names.push_back(n);
        } else if (word != "none") {
          policy->reserved_names.push_back(word);
        }
      }
    } else if (e.key == "accept_new_local_members") {
      ok = parse_yes_no(e.value, &policy->accept_new_local_members);
    } else if (e.key == "allow_container_ids") {
      ok = parse_yes_no(e.value, &policy->allow_container_ids);
    }
    if (!ok) {
      const char *what = e.key == "allow_gid"                                                 ? "a list of ids: "
                         : e.key == "accept_new_local_members" || e.key == "allow_container_ids" ? "yes or no: "
                                                                                               : "an id: ";
      *error = config.where(e) + ": " + e.key + ": not " + what + e.value;
      return false;
    }
  }
  return true;
}

namespace {

// Classes of bytes in names, for one table look-up a byte.
enum : unsigned char { kDigit = 1, kSpace = 2, kControl = 4, kSeparator = 8 };

struct ByteClasses {
  unsigned char of[256] = {};
  ByteClasses() {
    for (int c = '0'; c <= '9'; ++c) of[c] = kDigit;
    of[static_cast<unsigned char>(' ')] = of[static_cast<unsigned char>('\t')] = kSpace;
    for (int c = 0; c < 0x20; ++c)
      if (c != '\t') of[c] = kControl;
    of[0x7f] = kControl;
    for (char c : {':', ',', '/'}) of[static_cast<unsigned char>(c)] = kSeparator;
  }
};
const ByteClasses kClasses;

// Why `name` can't be a login name, or null.
const char *bad_name(std::string_view name) {
  if (name.empty()) return "is empty";
  if (name.size() > kMaxNameLength) return "is longer than 255 bytes";
  unsigned char any = 0, all = kDigit;
  for (char ch : name) {
    unsigned char c = kClasses.of[static_cast<unsigned char>(ch)];
    any |= c;
    all &= c;
  }
  if (any & kSpace) return "contains white space";
  if (any & kControl) return "contains a control character";
  if (any & kSeparator) return "contains ':', ',' or '/'";
  if (name[0] == '-' || name[0] == '+')
    return "starts with '-' or '+' (the C library's readers take such lines as compatibility "
           "entries)";
  if (name[0] == '.' && (name.size() == 1 || (name.size() == 2 && name[1] == '.')))
    return "is \".\" or \"..\"";
  if (all & kDigit) return "is fully numeric (it would read as an id)";
  return nullptr;
}

// A decimal id of 1 to 10 digits without a leading zero (but "0"), at most
// 4294967295.
bool decimal_id(std::string_view text, uint32_t *out) {
  if (text.empty() || text.size() > 10 || (text.size() > 1 && text[0] == '0')) return false;
  uint64_t value = 0;
  for (char c : text) {
    unsigned digit = static_cast<unsigned char>(c) - unsigned{'0'};
    if (digit > 9) return false;
    value = value * 10 + digit;
  }
  if (value > UINT32_MAX) return false;
  *out = static_cast<uint32_t>(value);
  return true;
}

std::string quoted_name(std::string_view name) {
  std::string out = "\"";
  for (char ch : name) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7f || c == '"' || c == '\\') {
      char esc[8];
      snprintf(esc, sizeof esc, "\\x%02x", c);
      out += esc;
    } else {
      out += ch;
    }
  }
  if (out.size() > 80) out.resize(77), out += "...";
  return out + "\"";
}

// Why an id is reserved, or "".
std::string reserved(uint32_t id, uint32_t minimum, const char *kind, const char *option) {
  if (id >= minimum && id != 4294967295u && id != 65535u) return "";
  if (id == 4294967295u || id == 65535u)
    return std::string(kind) + " " + std::to_string(id) + " is reserved: it means \"no id\"";
  if (id < minimum)
    return std::string(kind) + " " + std::to_string(id) + " is below the minimum " +
           std::to_string(minimum) + " (" + (kind[0] == 'u' ? "UID_MIN" : "GID_MIN") +
           " of login.defs, [policy] " + option + ", --" + (option[4] == 'u' ? "min-uid" : "min-gid") +
           ")";
  return "";
}

// Whether a name passes the name rule: the configured name_regex, or the
// default rule.
bool name_admitted(const PolicyCheck &check, std::string_view name) {
  if (check.name_regex == nullptr) return default_name_rule(name);
  char text[kMaxNameLength + 1];
  if (name.size() > kMaxNameLength || memchr(name.data(), '\0', name.size()) != nullptr) return false;
  memcpy(text, name.data(), name.size());
  text[name.size()] = '\0';
  return regexec(static_cast<const regex_t *>(check.name_regex), text, 0, nullptr, 0) == 0;
}

// A control character: C0 (NUL included), DEL, or a C1 control written in
// UTF-8 (0xc2 0x80 to 0xc2 0x9f); what a terminal may take for the start of
// an escape sequence.  The first such byte in [p, end), or end.
const char *control_character(const char *p, const char *end) {
  for (; p < end; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c < 0x20 || c == 0x7f) return p;
    if (c == 0xc2 && p + 1 < end && static_cast<unsigned char>(p[1]) >= 0x80 &&
        static_cast<unsigned char>(p[1]) <= 0x9f)
      return p;
  }
  return end;
}

// True when [p, end) holds exactly two colons and no byte below 0x20, DEL
// or 0xc2 (which may start a C1 control).  One pass, 16 bytes at a time:
// this runs for every line of the map.
bool plain_text_fields(const char *p, const char *end) {
  unsigned colons = 0;
#if defined(__SSE2__)
  const __m128i below = _mm_set1_epi8(0x1f), del = _mm_set1_epi8(0x7f),
                c2 = _mm_set1_epi8(static_cast<char>(0xc2)), colon = _mm_set1_epi8(':');
  for (; end - p >= 16; p += 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    __m128i bad = _mm_or_si128(_mm_cmpeq_epi8(_mm_max_epu8(v, below), below),
                               _mm_or_si128(_mm_cmpeq_epi8(v, del), _mm_cmpeq_epi8(v, c2)));
    if (_mm_movemask_epi8(bad) != 0) return false;
    colons += static_cast<unsigned>(__builtin_popcount(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, colon)))));
  }
#endif
  for (; p < end; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c < 0x20 || c == 0x7f || c == 0xc2) return false;
    colons += c == ':';
  }
  return colons == 2;
}

}  // namespace

namespace {

// Reads the decimal id at *p, up to the colon that must follow it (no
// leading zero but in "0", at most 4294967295); moves *p past the colon.
inline bool id_field(const char *&p, const char *end, uint32_t *out) {
  const char *start = p;
  uint64_t value = 0;
  while (p < end && p - start <= 10) {
    unsigned digit = static_cast<unsigned char>(*p) - unsigned{'0'};
    if (digit > 9) break;
    value = value * 10 + digit;
    ++p;
  }
  size_t n = static_cast<size_t>(p - start);
  if (n == 0 || n > 10 || (n > 1 && *start == '0') || value > UINT32_MAX || p == end || *p != ':')
    return false;
  ++p;
  *out = static_cast<uint32_t>(value);
  return true;
}

// The common case for a line the scan's own parser did not read: its
// fields found here, then judged as quickly_acceptable judges them.  True
// when the line is certainly a record the policy accepts with nothing to
// report; anything else (false) is judged in full, which finds the reason.
bool plainly_acceptable(const PolicyCheck &check, bool passwd, std::string_view line) {
  const char *p = line.data(), *end = p + line.size();
  QuickFields f;
  const void *colon = memchr(p, ':', line.size());
  if (colon == nullptr || line[0] == '-' || line[0] == '+' || line[0] == '.') return false;
  f.name_len = static_cast<size_t>(static_cast<const char *>(colon) - p);
  p += f.name_len + 1;
  const char *password = p;
  while (p < end && *p != ':') ++p;
  if (p == end) return false;
  f.password = std::string_view(password, static_cast<size_t>(p - password));
  ++p;
  if (!id_field(p, end, &f.id)) return false;
  f.gid = f.id;
  if (passwd && !id_field(p, end, &f.gid)) return false;
  f.rest = static_cast<size_t>(p - line.data());
  // quickly_acceptable looks for a NUL only past the ids.
  if (memchr(line.data(), '\0', f.rest) != nullptr) return false;
  return quickly_acceptable(check, passwd, line, f);
}

}  // namespace

bool quickly_acceptable(const PolicyCheck &check, bool passwd, std::string_view line,
                        const QuickFields &f) {
  const Policy &policy = check.policy;
  // The parser has seen the name start with a letter, digit or '_', no NUL
  // before the ids, and ids of 1 to 9 digits.
  if (f.name_len == 0 || f.name_len > kMaxNameLength || !f.plain_ids || f.password.size() != 1 ||
      !(f.password[0] == 'x' || f.password[0] == '*' || f.password[0] == '!') ||
      line.back() == '\r')
    return false;
  std::string_view name = line.substr(0, f.name_len);
  if ((check.name_regex != nullptr && bad_name(name) != nullptr) || !name_admitted(check, name))
    return false;
  const char *p = line.data() + f.rest, *end = line.data() + line.size();
  if (passwd) {
    // gecos, home and shell: two colons, no control character (nor NUL).
    if (!plain_text_fields(p, end)) return false;
  } else {
    // The members: no NUL, no colon.
    if (memchr(p, '\0', static_cast<size_t>(end - p)) != nullptr ||
        memchr(p, ':', static_cast<size_t>(end - p)) != nullptr)
      return false;
  }
  uint32_t id = f.id, gid = f.gid;
  uint32_t minimum = passwd ? policy.min_uid : policy.min_gid;
  if (id < minimum || id == 65535u || id == 4294967295u) return false;
  if (check.maybe_taken(name)) return false;
  if (id <= (passwd ? check.max_uid : check.max_gid) || check.in_ranges(passwd, id)) return false;
  if (passwd)
    return gid >= policy.min_gid && gid != 65535u && gid != 4294967295u && gid > check.max_gid &&
           !check.in_ranges(false, gid);
  while (p < end) {
    const char *comma = static_cast<const char *>(memchr(p, ',', static_cast<size_t>(end - p)));
    const char *stop = comma != nullptr ? comma : end;
    if (stop > p && check.maybe_local_user(std::string_view(p, static_cast<size_t>(stop - p))))
      return false;
    p = stop + 1;
  }
  return true;
}

bool judge_line(const PolicyCheck &check, Db db, std::string_view line, std::string *reason,
                std::string *note) {
  const bool passwd = db == Db::Passwd;
  note->clear();
  if (plainly_acceptable(check, passwd, line)) return true;
  const Policy &policy = check.policy;
  const char *thing = passwd ? "user" : "group";
  if (!line.empty() && line.back() == '\r') {
    *reason = "ends in a carriage return (CRLF line ends)";
    return false;
  }
  if (memchr(line.data(), '\0', line.size()) != nullptr) {
    *reason = "holds a NUL byte";
    return false;
  }
  std::string_view fields[7];
  size_t count = 0, start = 0;
  for (;;) {
    size_t colon = line.find(':', start);
    if (count < 7) fields[count] = line.substr(start, colon == line.npos ? colon : colon - start);
    ++count;
    if (colon == line.npos) break;
    start = colon + 1;
  }
  const size_t want = passwd ? 7 : 4;
  if (count != want) {
    *reason = "has " + std::to_string(count) + " field(s); a " + (passwd ? "passwd" : "group") +
              " line has " + std::to_string(want);
    return false;
  }
  std::string_view name = fields[0], password = fields[1];
  if (const char *why = bad_name(name)) {
    *reason = std::string(thing) + " name " + quoted_name(name) + " can't be a login name: it " + why;
    return false;
  }
  if (!name_admitted(check, name)) {
    *reason = std::string(thing) + " name " + quoted_name(name) + " breaks the name rule (" +
              (policy.name_regex.empty()
                   ? std::string("lower-case ASCII letters, digits, '_', '-' and '.', starting with a "
                                 "letter or '_', an optional final '$'")
                   : "\"" + policy.name_regex + "\"") +
              "; [policy] name_regex)";
    return false;
  }
  // Ids: plain decimal numbers, as every reader reads them alike.
  std::string_view id_text = fields[2], gid_text = passwd ? fields[3] : fields[2];
  uint32_t id = 0, gid = 0;
  if (!decimal_id(id_text, &id)) {
    *reason = std::string(passwd ? "uid" : "gid") + " field " + quoted_name(id_text) +
              " is not a decimal number";
    return false;
  }
  if (!decimal_id(gid_text, &gid)) {
    *reason = "gid field " + quoted_name(gid_text) + " is not a decimal number";
    return false;
  }
  if (password.empty()) {
    *reason = "empty password field: a login without a password; only x, * or ! are served";
    return false;
  }
  if (password != "x" && password != "*" && password != "!") {
    *reason = "the password field holds " + std::string(password.size() > 3 ? "a hash" : "a password") +
              " (a world-readable map can be cracked offline); only x, * or ! are served";
    return false;
  }
  std::string r = passwd ? reserved(id, policy.min_uid, "uid", "min_uid")
                         : reserved(id, policy.min_gid, "gid", "min_gid");
  if (!r.empty()) {
    *reason = r;
    return false;
  }
  const auto &names = passwd ? check.user_names : check.group_names;
  const auto &ids = passwd ? check.user_ids : check.group_ids;
  const char *local_file = passwd ? policy.local_passwd.c_str() : policy.local_group.c_str();
  const char *local = passwd ? "local account" : "local group";
  if (check.maybe_taken(name) && names.count(name) != 0) {
    *reason = std::string(thing) + " name " + quoted_name(name) + " is a " + local + " (" +
              local_file + ")";
    return false;
  }
  if (const TakenName *t = check.taken_by(name, passwd)) {
    *reason = std::string(thing) + " name " + quoted_name(name);
    switch (t->kind) {
      case TakenName::LocalUser:
      case TakenName::LocalGroup:
        *reason += (t->name == name ? " is the name of the " : " differs only in letter case from the ") +
                   std::string(t->kind == TakenName::LocalUser ? "local account " : "local group ") +
                   quoted_name(t->name) + " (" +
                   (t->kind == TakenName::LocalUser ? policy.local_passwd : policy.local_group) +
                   "): sudo and pam_access compare names ignoring case";
        break;
      case TakenName::Reserved:
        *reason += " is reserved for the accounts and groups packages create ([policy] reserved_names)";
        break;
      case TakenName::StaleMember:
        *reason += " is new in the map, and the local group " + quoted_name(t->group) + " (" +
                   policy.local_group +
                   ") lists it as a member: a new user must not inherit what a removed account "
                   "left ([policy] accept_new_local_members = yes accepts it)";
        break;
    }
    return false;
  }
  if (auto it = id <= (passwd ? check.max_uid : check.max_gid) ? ids.find(id) : ids.end();
      it != ids.end()) {
    *reason = std::string(passwd ? "uid " : "gid ") + std::to_string(id) + " is the id of the " +
              local + " " + quoted_name(it->second) + " (" + local_file + ")";
    return false;
  }
  if (const IdRange *range = check.range_of(passwd, id)) {
    *reason = std::string(passwd ? "uid " : "gid ") + std::to_string(id) + " lies in " + range->what;
    return false;
  }
  if (passwd) {
    for (size_t f = 4; f < 7; ++f)
      if (const char *c = control_character(fields[f].data(), fields[f].data() + fields[f].size());
          c != fields[f].data() + fields[f].size()) {
        static const char *const kField[] = {"gecos", "home directory", "shell"};
        char byte[8];
        snprintf(byte, sizeof byte, "0x%02x", static_cast<unsigned char>(*c));
        *reason = std::string("the ") + kField[f - 4] + " holds the control character " + byte +
                  " (terminal escape sequences would reach getent, finger and pinky raw)";
        return false;
      }
    if (const IdRange *range = check.range_of(false, gid)) {
      *reason = "primary gid " + std::to_string(gid) + " lies in " + range->what;
      return false;
    }
  }
  if (passwd) {
    bool allowed = std::find(policy.allow_gid.begin(), policy.allow_gid.end(), gid) !=
                   policy.allow_gid.end();
    std::string why = reserved(gid, policy.min_gid, "gid", "min_gid");
    if (why.empty())
      if (auto it = gid <= check.max_gid ? check.group_ids.find(gid) : check.group_ids.end();
          it != check.group_ids.end())
        why = "gid " + std::to_string(gid) + " is the gid of the local group " +
              quoted_name(it->second) + " (" + policy.local_group + ")";
    if (!why.empty() && !allowed) {
      *reason = "primary " + why + "; --allow-gid " + std::to_string(gid) +
                " ([policy] allow_gid) allows it as a primary group";
      return false;
    }
  } else if (!check.user_names.empty()) {
    // Members that are local accounts: kept (the map can't make them more
    // than members of a map group), but worth a look.
    std::string_view members = fields[3];
    size_t at = 0;
    while (at <= members.size()) {
      size_t comma = members.find(',', at);
      std::string_view member = members.substr(at, comma == members.npos ? comma : comma - at);
      if (!member.empty() && check.maybe_local_user(member) && check.user_names.count(member) != 0) {
        if (note->empty()) *note = "lists the local account(s)";
        *note += " " + quoted_name(member);
      }
      if (comma == members.npos) break;
      at = comma + 1;
    }
    if (!note->empty()) *note += " (" + policy.local_passwd + ") as member(s); kept";
  }
  return true;
}

}  // namespace vesk::tool
