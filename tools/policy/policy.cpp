// The content policy: which records a map may put in service.
#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

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
    }
    if (!ok) {
      *error = config.where(e) + ": " + e.key + ": not " +
               (e.key == "allow_gid" ? "a list of ids: " : "an id: ") + e.value;
      return false;
    }
  }
  return true;
}

namespace {

// Reads "name:...:id:..." lines of a local file: the name is the first
// field, the id the third.  Compatibility entries ('+' or '-') and lines
// without a numeric id name no account and are skipped.
bool read_local(const std::string &path, PolicyCheck *check,
                std::unordered_map<std::string_view, uint32_t> *names,
                std::unordered_map<uint32_t, std::string_view> *ids, std::string *error) {
  struct stat st;
  Fd fd(open_regular(path.c_str(), &st));
  if (fd.fd < 0) {
    if (errno == ENOENT) return true;
    *error = path + ": " + (errno == EINVAL ? "not a regular file" : strerror(errno));
    return false;
  }
  FILE *file = fdopen(fd.fd, "r");
  if (file == nullptr) {
    *error = path + ": " + strerror(errno);
    return false;
  }
  fd.release();
  char *line = nullptr;
  size_t capacity = 0;
  ssize_t n;
  while ((n = getline(&line, &capacity, file)) > 0) {
    std::string_view text(line, static_cast<size_t>(n));
    if (text.back() == '\n') text.remove_suffix(1);
    if (text.empty() || text[0] == '+' || text[0] == '-' || text[0] == '#') continue;
    size_t c1 = text.find(':'), c2 = c1 == text.npos ? c1 : text.find(':', c1 + 1);
    if (c2 == text.npos || c1 == 0) continue;
    size_t c3 = text.find(':', c2 + 1);
    uint32_t id;
    if (!parse_uint32(std::string(text.substr(c2 + 1, c3 == text.npos ? c3 : c3 - c2 - 1)), &id))
      continue;
    check->storage.emplace_back(text.substr(0, c1));
    std::string_view name = check->storage.back();
    names->emplace(name, id);
    ids->emplace(id, name);
  }
  bool failed = ferror(file) != 0;
  free(line);
  fclose(file);
  if (failed) *error = path + ": can't read";
  return !failed;
}

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

}  // namespace

bool prepare_policy(const Policy &policy, PolicyCheck *check, std::string *error) {
  check->policy = policy;
  if (!read_local(policy.local_passwd, check, &check->user_names, &check->user_ids, error) ||
      !read_local(policy.local_group, check, &check->group_names, &check->group_ids, error))
    return false;
  for (int db = 0; db < 2; ++db)
    for (const auto &[name, id] : db == 0 ? check->user_names : check->group_names)
      check->local_name_filter[db].set(PolicyCheck::filter_key(name));
  for (const auto &[id, name] : check->user_ids) check->max_uid = std::max(check->max_uid, id);
  for (const auto &[id, name] : check->group_ids) check->max_gid = std::max(check->max_gid, id);
  return true;
}

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
  unsigned char any = 0, all = kDigit;
  for (size_t i = 0; i < f.name_len; ++i) {
    unsigned char c = kClasses.of[static_cast<unsigned char>(line[i])];
    any |= c;
    all &= c;
  }
  if ((any & ~kDigit) != 0 || (all & kDigit)) return false;
  // The remaining fields: gecos, home and shell, or the members; no NUL.
  const char *p = line.data() + f.rest, *end = line.data() + line.size();
  if (memchr(p, '\0', static_cast<size_t>(end - p)) != nullptr) return false;
  for (int colons = passwd ? 2 : 0; colons > 0; --colons) {
    const void *colon = memchr(p, ':', static_cast<size_t>(end - p));
    if (colon == nullptr) return false;
    p = static_cast<const char *>(colon) + 1;
  }
  if (memchr(p, ':', static_cast<size_t>(end - p)) != nullptr) return false;
  uint32_t id = f.id, gid = f.gid;
  uint32_t minimum = passwd ? policy.min_uid : policy.min_gid;
  if (id < minimum || id == 65535u || id == 4294967295u) return false;
  if (check.maybe_local(passwd, line.substr(0, f.name_len))) return false;
  if (id <= (passwd ? check.max_uid : check.max_gid)) return false;
  if (passwd)
    return gid >= policy.min_gid && gid != 65535u && gid != 4294967295u && gid > check.max_gid;
  while (p < end) {
    const char *comma = static_cast<const char *>(memchr(p, ',', static_cast<size_t>(end - p)));
    const char *stop = comma != nullptr ? comma : end;
    if (stop > p && check.maybe_local(true, std::string_view(p, static_cast<size_t>(stop - p))))
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
  if (check.maybe_local(passwd, name) && names.count(name) != 0) {
    *reason = std::string(thing) + " name " + quoted_name(name) + " is a " + local + " (" +
              local_file + ")";
    return false;
  }
  if (auto it = id <= (passwd ? check.max_uid : check.max_gid) ? ids.find(id) : ids.end();
      it != ids.end()) {
    *reason = std::string(passwd ? "uid " : "gid ") + std::to_string(id) + " is the id of the " +
              local + " " + quoted_name(it->second) + " (" + local_file + ")";
    return false;
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
      if (!member.empty() && check.maybe_local(true, member) && check.user_names.count(member) != 0) {
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
