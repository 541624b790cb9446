// Reading /etc/vesk-index.conf with inih.
#include "config/config.h"

#include <errno.h>
#include <ini.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>

#include <algorithm>

#include "map/files.h"

namespace vesk::tool {

const std::vector<ConfigSection> &config_sections() {
  static const std::vector<ConfigSection> sections = {
      {"policy",
       {"min_uid", "min_gid", "allow_gid", "name_regex", "reserved_names",
        "accept_new_local_members", "allow_container_ids"}},
      // vesk-index sync: the directory the maps are read from.
      {"ldap",
       {"uri", "base", "user_base", "group_base", "user_filter", "group_filter", "schema",
        "bind", "bind_dn", "bind_password_file", "starttls", "tls_ca_file", "tls_cert_file",
        "tls_key_file", "timeout", "page_size", "attr_name", "attr_group_name",
        "attr_uid_number", "attr_gid_number", "attr_gecos", "attr_home", "attr_shell",
        "attr_member_uid", "attr_member", "default_shell", "override_shell",
        "home_template", "exclude_disabled", "ssh_keys", "attr_ssh_key", "keytab",
        "principal", "referrals", "lowercase_names", "replace_blank", "id_mapping",
        "idmap_range_min", "idmap_range_max", "idmap_range_size"}},
      // The keys map: what its keys may carry.
      {"keys", {"allow_options"}},
      {"publish", {"key_file", "deltas", "level", "channel"}},
      {"fetch",
       {"url", "public_key_file", "tls_ca_file", "timeout", "max_age", "channel",
        "max_clock_skew", "max_map_size"}},
  };
  return sections;
}

namespace {

// inih hands out lines of at most this many bytes (its compiled-in limit,
// newline included); longer ones are refused rather than cut.
constexpr int kMaxLine = 200;

struct Reader {
  FILE *file = nullptr;
  int line = 0;              // lines read so far
  bool continuation = false; // the last line read began with white space
  int long_line = 0;         // first line that was too long
  int bad_section = 0;       // first line that opens an unknown section
  std::string section_name;
};

bool known_section(const std::string &name);

char *read_line(char *str, int num, void *stream) {
  auto *r = static_cast<Reader *>(stream);
  char *s = fgets(str, num, r->file);
  if (s == nullptr) return nullptr;
  ++r->line;
  size_t len = strlen(s);
  if (len > 0 && s[len - 1] != '\n' && !feof(r->file)) {
    if (r->long_line == 0) r->long_line = r->line;
    int c;  // skip the rest of it
    while ((c = fgetc(r->file)) != EOF && c != '\n') {
    }
    s[0] = '\0';
  }
  r->continuation = s[0] == ' ' || s[0] == '\t';
  // Section headers are checked here: inih reports only keys, and a
  // misspelt section with nothing in it must not pass unnoticed.
  const char *p = s;
  while (*p == ' ' || *p == '\t') ++p;
  if (*p == '[' && r->bad_section == 0) {
    const char *end = strchr(p, ']');
    std::string name = end != nullptr ? std::string(p + 1, end) : std::string();
    if (end != nullptr && !known_section(name)) {
      r->bad_section = r->line;
      r->section_name = name;
    }
  }
  return s;
}

bool known_section(const std::string &name) {
  for (const ConfigSection &k : config_sections())
    if (name == k.name) return true;
  return false;
}

struct Parse {
  Reader reader;
  Config *config;
  std::string error;  // the first one
  int error_line = 0;

  bool fail(const std::string &text) {
    if (error.empty()) {
      error = text;
      error_line = reader.line;
    }
    return false;
  }
};

int on_entry(void *user, const char *section, const char *name, const char *value) {
  auto *p = static_cast<Parse *>(user);
  const auto &sections = config_sections();
  auto s = std::find_if(sections.begin(), sections.end(),
                        [&](const ConfigSection &k) { return strcmp(k.name, section) == 0; });
  if (section[0] == '\0') return p->fail(std::string("\"") + name + "\" outside a section");
  if (s == sections.end()) return p->fail(std::string("unknown section [") + section + "]");
  if (std::none_of(s->keys.begin(), s->keys.end(),
                   [&](const char *k) { return strcmp(k, name) == 0; }))
    return p->fail(std::string("unknown key \"") + name + "\" in [" + section + "]");
  std::vector<ConfigEntry> &entries = p->config->entries;
  for (ConfigEntry &e : entries) {
    if (e.section != section || e.key != name) continue;
    // inih reports a continuation line as another value of the same key.
    if (p->reader.continuation && &e == &entries.back()) {
      e.value += std::string(" ") + value;
      return 1;
    }
    return p->fail(std::string("\"") + name + "\" given twice in [" + section +
                   "] (first on line " + std::to_string(e.line) + ")");
  }
  if (value[0] == '\0') return p->fail(std::string("\"") + name + "\" has no value");
  entries.push_back({section, name, value, p->reader.line});
  return 1;
}

}  // namespace

const ConfigEntry *Config::find(const std::string &section, const std::string &key) const {
  for (const ConfigEntry &e : entries)
    if (e.section == section && e.key == key) return &e;
  return nullptr;
}

std::string Config::where(const ConfigEntry &e) const {
  return path + ":" + std::to_string(e.line);
}

bool read_config(const std::string &path, bool required, Config *config, std::string *error) {
  *config = Config{};
  struct stat st;
  Fd fd(open_regular(path.c_str(), &st));
  if (fd.fd < 0) {
    if (errno == ENOENT && !required) return true;
    *error = path + ": " + (errno == EINVAL ? "not a regular file" : strerror(errno));
    return false;
  }
  FILE *file = fdopen(fd.fd, "r");
  if (file == nullptr) {
    *error = path + ": " + strerror(errno);
    return false;
  }
  fd.release();
  config->path = path;
  Parse p;
  p.reader.file = file;
  p.config = config;
  int rc = ini_parse_stream(read_line, &p.reader, on_entry, &p);
  bool read_error = ferror(file) != 0;
  fclose(file);
  if (read_error) {
    *error = path + ": can't read";
    return false;
  }
  int line = 0;
  std::string text;
  if (p.reader.long_line != 0) {
    line = p.reader.long_line;
    text = "line longer than " + std::to_string(kMaxLine - 2) + " characters";
  }
  if (p.reader.bad_section != 0 && (line == 0 || p.reader.bad_section < line)) {
    line = p.reader.bad_section;
    text = "unknown section [" + p.reader.section_name + "]";
  }
  if (!p.error.empty() && (line == 0 || p.error_line < line)) line = p.error_line, text = p.error;
  if (rc > 0 && (line == 0 || rc < line)) {
    line = rc;
    text = "not a section, a \"key = value\" line or a comment";
  }
  if (rc < 0) {
    *error = path + ": can't read";
    return false;
  }
  if (line != 0) {
    *error = path + ":" + std::to_string(line) + ": " + text;
    return false;
  }
  return true;
}

bool parse_uint(const std::string &text, uint64_t max, uint64_t *out) {
  if (text.empty() || text.size() > 20) return false;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (max - digit) / 10) return false;
    value = value * 10 + digit;
  }
  *out = value;
  return true;
}

bool parse_uint32(const std::string &text, uint32_t *out) {
  uint64_t value;
  if (!parse_uint(text, UINT32_MAX, &value)) return false;
  *out = static_cast<uint32_t>(value);
  return true;
}

bool parse_duration(const std::string &text, int64_t *seconds) {
  static const struct {
    char suffix;
    uint64_t scale;
  } kUnits[] = {{'s', 1}, {'m', 60}, {'h', 3600}, {'d', 86400}};
  std::string digits = text;
  uint64_t scale = 1;
  for (const auto &u : kUnits)
    if (!digits.empty() && digits.back() == u.suffix) {
      digits.pop_back();
      scale = u.scale;
      break;
    }
  uint64_t value;
  if (!parse_uint(digits, INT64_MAX / scale, &value)) return false;
  *seconds = static_cast<int64_t>(value * scale);
  return true;
}

bool parse_yes_no(const std::string &text, bool *out) {
  for (const char *yes : {"yes", "true", "on", "1"})
    if (strcasecmp(text.c_str(), yes) == 0) return *out = true, true;
  for (const char *no : {"no", "false", "off", "0"})
    if (strcasecmp(text.c_str(), no) == 0) return *out = false, true;
  return false;
}

std::vector<std::string> parse_list(const std::string &text) {
  std::vector<std::string> words;
  std::string word;
  for (char c : text) {
    if (c == ' ' || c == '\t' || c == ',') {
      if (!word.empty()) words.push_back(std::move(word));
      word.clear();
    } else {
      word += c;
    }
  }
  if (!word.empty()) words.push_back(std::move(word));
  return words;
}

}  // namespace vesk::tool
