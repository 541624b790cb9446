// The [ldap] section, the bind password file, and the sync's messages.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

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
  std::string base;
  const tool::ConfigEntry *base_entry = get("base", &base);
  s->user_base = s->group_base = base;
  const tool::ConfigEntry *ub = get("user_base", &s->user_base);
  const tool::ConfigEntry *gb = get("group_base", &s->group_base);
  if (base_entry == nullptr && (ub == nullptr || gb == nullptr))
    return fail(nullptr, "no base (or user_base and group_base): where to search is not configured");
  get("user_filter", &s->user_filter);
  get("group_filter", &s->group_filter);

  std::string word;
  if ((bad = get("schema", &word)) != nullptr) {
    if (word == "rfc2307") s->schema = Schema::Rfc2307;
    else if (word == "rfc2307bis") s->schema = Schema::Rfc2307bis;
    else return fail(bad, "not rfc2307 or rfc2307bis: " + word);
  }
  if ((bad = get("bind", &word)) != nullptr) {
    if (word == "none") s->bind = Bind::None;
    else if (word == "simple") s->bind = Bind::Simple;
    else if (word == "sasl_external") s->bind = Bind::SaslExternal;
    else return fail(bad, "not none, simple or sasl_external: " + word);
  }
  const tool::ConfigEntry *dn = get("bind_dn", &s->bind_dn);
  const tool::ConfigEntry *pw = get("bind_password_file", &s->bind_password_file);
  if (s->bind != Bind::Simple && (dn != nullptr || pw != nullptr))
    return fail(dn != nullptr ? dn : pw, "is only for bind = simple");
  if (s->bind == Bind::Simple && dn == nullptr)
    return fail(nullptr, "bind = simple needs bind_dn");
  if ((bad = get("starttls", &word)) != nullptr && !tool::parse_yes_no(word, &s->starttls))
    return fail(bad, "not yes or no: " + word);
  if ((bad = get("exclude_disabled", &word)) != nullptr &&
      !tool::parse_yes_no(word, &s->exclude_disabled))
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
  for (const std::string &u : s->uris)
    if (starts_with_nocase(u, "ldap://") && !s->starttls)
      return fail(uri, u + " without starttls = yes would read the maps unprotected");
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

bool read_password(const std::string &path, std::string *password, std::string *error) {
  auto fail = [&](const std::string &text) {
    *error = path + ": " + text;
    return false;
  };
  struct stat st;
  Fd fd(open_regular(path.c_str(), &st));
  if (fd.fd < 0) return fail(errno == EINVAL ? "not a regular file" : strerror(errno));
  if (st.st_uid != 0 && st.st_uid != geteuid())
    return fail("belongs to uid " + std::to_string(st.st_uid) +
                ", not to root: a password file anyone else owns is not used");
  if ((st.st_mode & 077) != 0) {
    char mode[8];
    snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return fail(std::string("mode ") + mode +
                ": others may read or change it; not used (chmod 600 it)");
  }
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
