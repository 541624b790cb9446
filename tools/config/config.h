// /etc/vesk-index.conf: one INI file for every vesk-index program.
//
// The file is read with inih.  Every program knows every section and key
// (config_sections()), so a misspelt section or key is an error
// wherever it is read, and never silently turns a rule off.  Each program
// then takes the values of the sections it uses.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace vesk::tool {

inline constexpr char kDefaultConfig[] = "/etc/vesk-index.conf";

struct ConfigEntry {
  std::string section, key, value;
  int line = 0;
};

struct Config {
  std::string path;  // empty: no file was read (defaults only)
  std::vector<ConfigEntry> entries;  // in file order; a key given twice is an error

  // The entry for section/key, or null.
  const ConfigEntry *find(const std::string &section, const std::string &key) const;
  // "FILE:LINE" of an entry, for messages.
  std::string where(const ConfigEntry &e) const;
};

// Every section and key any vesk-index program reads: the one table that
// reading checks a file against, and that the manual page
// vesk-index.conf(5) documents key by key (a test compares the two).  A
// new key goes here and into the page.
struct ConfigSection {
  const char *name;
  std::vector<const char *> keys;
};
const std::vector<ConfigSection> &config_sections();

// Reads the configuration at `path`.  A missing file is no error when
// `required` is false (the default file: defaults then apply); any other
// failure, a syntax error, an unknown section or key, a key given twice, an
// empty value or an over-long line is, with *error set to
// "FILE:LINE: TEXT" (or "FILE: TEXT").
bool read_config(const std::string &path, bool required, Config *config, std::string *error);

// Value parsers: false when `text` is not such a value.
bool parse_uint32(const std::string &text, uint32_t *out);   // decimal, 0..4294967295
bool parse_uint(const std::string &text, uint64_t max, uint64_t *out);
bool parse_yes_no(const std::string &text, bool *out);        // yes/no, true/false, on/off, 1/0
// A duration: a number of seconds, or a number followed by s, m, h or d.
bool parse_duration(const std::string &text, int64_t *seconds);
// Words separated by white space or commas.
std::vector<std::string> parse_list(const std::string &text);

}  // namespace vesk::tool
