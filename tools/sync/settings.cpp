// The [ldap] section, the bind password file, and the sync's messages.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctype.h>
#include <ldap.h>

#include "core/index_tool.h"
#include "map/files.h"
#include "sync.h"

namespace vesk::sync {

namespace {

// A value that would break a map line wherever it went.
bool breaks_line(std::string_view text) {
  return text.find_first_of(std::string_view(":\n\r\0", 4)) != std::string_view::npos;
}

bool starts_with_nocase(const std::string &text, const char *prefix) {
  return strncasecmp(text.c_str(), prefix, strlen(prefix)) == 0;
}

// Bases separated by ';' (which a DN escapes); none within another, where
// an entry would be read twice.
bool parse_bases(const std::string &text, std::vector<std::string> *bases, std::string *error) {
  bases->clear();
  std::vector<std::string> normal;
  size_t start = 0;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i < text.size() && text[i] == '\\' && i + 1 < text.size()) {
      ++i;
      continue;
    }
    if (i < text.size() && text[i] != ';') continue;
    std::string base = text.substr(start, i - start);
    start = i + 1;
    size_t a = base.find_first_not_of(" \t"), b = base.find_last_not_of(" \t");
    base = a == std::string::npos ? "" : base.substr(a, b - a + 1);
    LDAPDN parsed = nullptr;
    char *canonical = nullptr;
    if (base.empty() || ldap_str2dn(base.c_str(), &parsed, LDAP_DN_FORMAT_LDAPV3) != LDAP_SUCCESS ||
        ldap_dn2str(parsed, &canonical, LDAP_DN_FORMAT_LDAPV3) != LDAP_SUCCESS) {
      if (parsed != nullptr) ldap_dnfree(parsed);
      *error = "not a DN (several bases are separated by ';'): \"" + base + "\"";
      return false;
    }
    ldap_dnfree(parsed);
    std::string n = canonical != nullptr ? canonical : "";
    if (canonical != nullptr) ldap_memfree(canonical);
    for (char &c : n) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    for (size_t k = 0; k < normal.size(); ++k) {
      const std::string &o = normal[k];
      auto within = [](const std::string &inner, const std::string &outer) {
        return outer.empty() || inner == outer ||
               (inner.size() > outer.size() && inner.compare(inner.size() - outer.size(),
                                                             outer.size(), outer) == 0 &&
                inner[inner.size() - outer.size() - 1] == ',');
      };
      if (within(n, o) || within(o, n)) {
        *error = "\"" + base + "\" and \"" + (*bases)[k] +
                 "\" overlap: their entries would be read twice";
        return false;
      }
    }
    normal.push_back(n);
    bases->push_back(base);
  }
  return true;
}

}  // namespace

bool load_settings(const tool::Config &config, Settings *s, std::string *error) {
  const tool::ConfigEntry *bad = nullptr;
  auto fail = [&](const tool::ConfigEntry *e, const std::string &text) {
    *error = (e != nullptr ? config.where(*e) + ": " + e->key
                           : (config.path.empty() ? std::string(tool::kDefaultConfig)
                                                  : config.path) + ": [ldap]") +
             ": " + text;
    return false;
  };
  auto get = [&](const char *key, std::string *out) {
    const tool::ConfigEntry *e = config.find("ldap", key);
    if (e != nullptr) *out = e->value;
    return e;
  };
  auto number = [&](const char *key, uint64_t max, int *out) {
    const tool::ConfigEntry *e = config.find("ldap", key);
    uint64_t value;
    if (e == nullptr) return true;
    if (!tool::parse_uint(e->value, max, &value) || value == 0)
      return fail(e, "not a number from 1 to " + std::to_string(max) + ": " + e->value);
    *out = static_cast<int>(value);
    return true;
  };

  std::string uris;
  const tool::ConfigEntry *uri = get("uri", &uris);
  if (uri == nullptr) return fail(nullptr, "no uri: the directory to read is not configured");
  for (const std::string &u : tool::parse_list(uris)) {
    if (!starts_with_nocase(u, "ldap://") && !starts_with_nocase(u, "ldaps://") &&
        !starts_with_nocase(u, "ldapi://"))
      return fail(uri, "not an ldap://, ldaps:// or ldapi:// URI: " + u);
    s->uris.push_back(u);
  }
  // The schema first: the ad preset sets keys that those given override.
  std::string word;
  if ((bad = get("schema", &word)) != nullptr) {
    if (word == "rfc2307") s->schema = Schema::Rfc2307;
    else if (word == "rfc2307bis") s->schema = Schema::Rfc2307bis;
    else if (word == "ad") s->schema = Schema::Ad;
    else return fail(bad, "not rfc2307, rfc2307bis or ad: " + word);
  }
  if ((bad = get("id_mapping", &word)) != nullptr && !tool::parse_yes_no(word, &s->id_mapping))
    return fail(bad, "not yes or no: " + word);
  if (s->id_mapping && s->schema != Schema::Ad)
    return fail(bad, "needs schema = ad (ids from objectSid)");
  if (s->schema == Schema::Ad) {
    s->user_filter = s->id_mapping ? "(&(objectClass=user)(objectCategory=person))"
                                   : "(&(objectClass=user)(objectCategory=person)(uidNumber=*))";
    s->group_filter = "(objectClass=group)";
    s->attr_name = s->attr_group_name = "sAMAccountName";
    s->attr_home = "unixHomeDirectory";
    s->attr_gecos = "displayName";
    s->gecos_from_cn = false;
    s->lowercase_names = true;
    s->replace_blank = '_';
    s->exclude_disabled = true;
  }

  std::string base;
  const tool::ConfigEntry *base_entry = get("base", &base);
  std::string user_base = base, group_base = base;
  const tool::ConfigEntry *ub = get("user_base", &user_base);
  const tool::ConfigEntry *gb = get("group_base", &group_base);
  if (base_entry == nullptr && (ub == nullptr || gb == nullptr))
    return fail(nullptr, "no base (or user_base and group_base): where to search is not configured");
  std::string why;
  if (!parse_bases(user_base, &s->user_bases, &why))
    return fail(ub != nullptr ? ub : base_entry, why);
  if (!parse_bases(group_base, &s->group_bases, &why))
    return fail(gb != nullptr ? gb : base_entry, why);
  get("user_filter", &s->user_filter);
  get("group_filter", &s->group_filter);
  if ((bad = get("referrals", &word)) != nullptr) {
    if (word == "ignore") s->ignore_referrals = true;
    else if (word == "fail") s->ignore_referrals = false;
    else return fail(bad, "not fail or ignore: " + word);
  }
  if ((bad = get("lowercase_names", &word)) != nullptr &&
      !tool::parse_yes_no(word, &s->lowercase_names))
    return fail(bad, "not yes or no: " + word);
  if ((bad = get("exclude_disabled", &word)) != nullptr &&
      !tool::parse_yes_no(word, &s->exclude_disabled))
    return fail(bad, "not yes or no: " + word);
  if ((bad = get("replace_blank", &word)) != nullptr) {
    if (word == "no") s->replace_blank = 0;
    else if (word.size() != 1 || !isgraph(static_cast<unsigned char>(word[0])) || word == ":" ||
             word == ",")
      return fail(bad, "not no or one printable character other than ':' and ',': " + word);
    else s->replace_blank = word[0];
  }
  struct {
    const char *key;
    uint32_t *value;
  } ranges[] = {{"idmap_range_min", &s->idmap_range_min},
                {"idmap_range_max", &s->idmap_range_max},
                {"idmap_range_size", &s->idmap_range_size}};
  for (auto &r : ranges) {
    const tool::ConfigEntry *e = config.find("ldap", r.key);
    if (e == nullptr) continue;
    uint64_t value;
    if (!s->id_mapping) return fail(e, "is only for id_mapping = yes");
    if (!tool::parse_uint(e->value, UINT32_MAX, &value))
      return fail(e, "not a number from 0 to 4294967295: " + e->value);
    *r.value = static_cast<uint32_t>(value);
  }
  if (s->id_mapping &&
      (s->idmap_range_size == 0 || s->idmap_range_min >= s->idmap_range_max ||
       s->idmap_range_max - s->idmap_range_min < s->idmap_range_size))
    return fail(config.find("ldap", "idmap_range_size"),
                "idmap_range_min, idmap_range_max and idmap_range_size leave no room for one "
                "range (min < max, max - min >= size > 0)");

  if ((bad = get("bind", &word)) != nullptr) {
    if (word == "none") s->bind = Bind::None;
    else if (word == "simple") s->bind = Bind::Simple;
    else if (word == "sasl_external") s->bind = Bind::SaslExternal;
    else if (word == "sasl_gssapi") s->bind = Bind::SaslGssapi;
    else return fail(bad, "not none, simple, sasl_external or sasl_gssapi: " + word);
  }
  const tool::ConfigEntry *kt = get("keytab", &s->keytab);
  const tool::ConfigEntry *pr = get("principal", &s->principal);
  if (s->bind != Bind::SaslGssapi && (kt != nullptr || pr != nullptr))
    return fail(kt != nullptr ? kt : pr, "is only for bind = sasl_gssapi");
  const tool::ConfigEntry *dn = get("bind_dn", &s->bind_dn);
  const tool::ConfigEntry *pw = get("bind_password_file", &s->bind_password_file);
  if (s->bind != Bind::Simple && (dn != nullptr || pw != nullptr))
    return fail(dn != nullptr ? dn : pw, "is only for bind = simple");
  if (s->bind == Bind::Simple && dn == nullptr)
    return fail(nullptr, "bind = simple needs bind_dn");
  if ((bad = get("starttls", &word)) != nullptr && !tool::parse_yes_no(word, &s->starttls))
    return fail(bad, "not yes or no: " + word);
  if ((bad = get("ssh_keys", &word)) != nullptr && !tool::parse_yes_no(word, &s->ssh_keys))
    return fail(bad, "not yes or no: " + word);
  get("tls_ca_file", &s->tls_ca_file);
  const tool::ConfigEntry *cert = get("tls_cert_file", &s->tls_cert_file);
  const tool::ConfigEntry *key = get("tls_key_file", &s->tls_key_file);
  if ((cert == nullptr) != (key == nullptr))
    return fail(cert != nullptr ? cert : key, "needs both tls_cert_file and tls_key_file");
  // The maps decide who may log in: they are never read over a connection
  // that anyone on the way could read or change.
  // A GSSAPI bind on ldap:// without TLS must set up a SASL security
  // layer (integrity at least), or the bind fails.
  for (const std::string &u : s->uris)
    if (starts_with_nocase(u, "ldap://") && !s->starttls && s->bind != Bind::SaslGssapi)
      return fail(uri, u + " without starttls = yes (or bind = sasl_gssapi, whose security "
                           "layer protects it) would read the maps unprotected");
  if (!number("timeout", 86400, &s->timeout) || !number("page_size", 1000000, &s->page_size))
    return false;

  struct {
    const char *key;
    std::string *value;
  } attributes[] = {
      {"attr_name", &s->attr_name},           {"attr_group_name", &s->attr_group_name},
      {"attr_uid_number", &s->attr_uid_number}, {"attr_gid_number", &s->attr_gid_number},
      {"attr_gecos", &s->attr_gecos},         {"attr_home", &s->attr_home},
      {"attr_shell", &s->attr_shell},         {"attr_member_uid", &s->attr_member_uid},
      {"attr_member", &s->attr_member},       {"attr_ssh_key", &s->attr_ssh_key},
  };
  if (s->id_mapping)
    for (const char *k : {"attr_uid_number", "attr_gid_number"})
      if ((bad = config.find("ldap", k)) != nullptr)
        return fail(bad, "not used with id_mapping = yes (ids come from objectSid)");
  for (auto &a : attributes) {
    const tool::ConfigEntry *e = get(a.key, a.value);
    if (e == nullptr) continue;
    for (char c : *a.value)
      if (!isalnum(static_cast<unsigned char>(c)) && c != '-' && c != ';' && c != '.')
        return fail(e, "not an attribute name: " + *a.value);
    if (a.value == &s->attr_gecos) s->gecos_from_cn = false;
  }
  for (const char *k : {"default_shell", "override_shell", "home_template"}) {
    std::string value;
    const tool::ConfigEntry *e = get(k, &value);
    if (e == nullptr) continue;
    if (breaks_line(value)) return fail(e, "holds ':'");
    if (strcmp(k, "home_template") == 0) {
      for (size_t i = 0; i < value.size(); ++i)
        if (value[i] == '%' && (i + 1 == value.size() || (value[i + 1] != 'u' && value[i + 1] != '%')))
          return fail(e, "only %u (the user's name) and %% may follow '%': " + value);
        else if (value[i] == '%')
          ++i;
      s->home_template = value;
    }
    if (strcmp(k, "default_shell") == 0) s->default_shell = value;
    if (strcmp(k, "override_shell") == 0) s->override_shell = value;
  }
  return true;
}

namespace {

// Opens `path` if it is a regular file of root's (or of the user running
// the sync) that no one else may read or write.
int open_secret(const std::string &path, struct stat *st, std::string *error) {
  auto fail = [&](const std::string &text) {
    *error = path + ": " + text;
    return -1;
  };
  Fd fd(open_regular(path.c_str(), st));
  if (fd.fd < 0) return fail(errno == EINVAL ? "not a regular file" : strerror(errno));
  if (st->st_uid != 0 && st->st_uid != geteuid())
    return fail("belongs to uid " + std::to_string(st->st_uid) +
                ", not to root: a secret file anyone else owns is not used");
  if ((st->st_mode & 077) != 0) {
    char mode[8];
    snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st->st_mode & 07777));
    return fail(std::string("mode ") + mode +
                ": others may read or change it; not used (chmod 600 it)");
  }
  int out = fd.fd;
  fd.fd = -1;
  return out;
}

}  // namespace

bool check_secret_file(const std::string &path, std::string *error) {
  struct stat st;
  Fd fd(open_secret(path, &st, error));
  return fd.fd >= 0;
}

bool read_password(const std::string &path, std::string *password, std::string *error) {
  auto fail = [&](const std::string &text) {
    *error = path + ": " + text;
    return false;
  };
  struct stat st;
  Fd fd(open_secret(path, &st, error));
  if (fd.fd < 0) return false;
  if (st.st_size > 4096) return fail("longer than 4096 bytes: not a password file");
  std::string text(static_cast<size_t>(st.st_size) + 1, '\0');
  ssize_t n = pread(fd.fd, text.data(), text.size(), 0);
  if (n < 0) return fail(strerror(errno));
  text.resize(static_cast<size_t>(n));
  if (!text.empty() && text.back() == '\n') text.pop_back();
  if (!text.empty() && text.back() == '\r') text.pop_back();
  if (text.empty()) return fail("empty: an empty password would bind without authentication");
  if (text.find_first_of(std::string_view("\n\0", 2)) != std::string::npos)
    return fail("more than one line: not a password file");
  *password = std::move(text);
  return true;
}

std::string printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  return out;
}

void report_entry(Tally *tally, std::string_view dn, const std::string &text) {
  constexpr size_t kMaxMessages = 1000;
  if (tally->reported++ < kMaxMessages) tool::report(printable(dn), text);
  else if (tally->reported == kMaxMessages + 1)
    tool::report("sync", "more entries to report: only their number is given below");
}

char *Arena::allocate(size_t n) {
  constexpr size_t kBlock = 8 << 20;
  if (n > left_) {
    size_t size = n > kBlock / 4 ? n : kBlock;
    char *data = static_cast<char *>(tool::big_allocate(size));
    blocks_.push_back({data, size});
    if (size != kBlock) return data;  // a block of its own
    next_ = data;
    left_ = size;
  }
  char *p = next_;
  next_ += n;
  left_ -= n;
  return p;
}

std::string_view Arena::copy(std::string_view text) {
  char *p = allocate(text.size());
  if (!text.empty()) memcpy(p, text.data(), text.size());
  return {p, text.size()};
}

void Arena::clear() {
  for (const Block &b : blocks_) tool::big_free(b.data, b.size);
  blocks_.clear();
  next_ = nullptr;
  left_ = 0;
}

}  // namespace vesk::sync
