// vesk-index.conf(5) against the programs' table of keys: every key a
// program reads is documented in its section, and every documented key is
// one a program reads.  The examples an operator copies from (the page's
// and the commented file the packages install) are read as the programs
// read a configuration, so none of them shows a key that would be refused.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "config/config.h"
#include "test_support.h"

namespace vesk_test {
namespace {

using vesk::tool::config_sections;

constexpr char kPageName[] = "man/vesk-index.conf.5";

struct Documented {
  std::string section, key;
  int line;
};

std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The page's keys: a tagged paragraph (.TP) whose tag is `.BI "KEY = " ...`
// (or `.B KEY`) under a subsection `.SS [SECTION]`.  Another .SH ends the
// sections.  Also fills `sections` with every `.SS [SECTION]` and its line.
std::vector<Documented> page_keys(const std::vector<std::string> &page,
                                  std::vector<std::pair<std::string, int>> *sections) {
  static const std::regex kSubsection(R"(^\.SS +"?\[([A-Za-z0-9_]+)\]"? *$)");
  static const std::regex kTag(R"(^\.BI? +"?([A-Za-z0-9_]+)( = "?| *$))");
  std::vector<Documented> keys;
  std::string section;
  std::smatch m;
  for (size_t i = 0; i < page.size(); ++i) {
    const std::string &line = page[i];
    int number = static_cast<int>(i) + 1;
    if (std::regex_match(line, m, kSubsection)) {
      section = m[1];
      sections->emplace_back(section, number);
    } else if (line.rfind(".SH", 0) == 0 || line.rfind(".SS", 0) == 0) {
      section.clear();
    } else if (!section.empty() && line == ".TP" && i + 1 < page.size() &&
               std::regex_search(page[i + 1], m, kTag)) {
      keys.push_back({section, m[1], number + 1});
    }
  }
  return keys;
}

bool in_table(const std::string &section, const std::string &key) {
  for (const vesk::tool::ConfigSection &s : config_sections())
    if (section == s.name)
      for (const char *k : s.keys)
        if (key == k) return true;
  return false;
}

TEST(ConfigManual, EveryKeyOfTheTableIsDocumentedAndNoOther) {
  std::vector<std::string> page = lines_of(read_file(VESK_CONF_MANUAL));
  std::vector<std::pair<std::string, int>> sections;
  std::vector<Documented> documented = page_keys(page, &sections);
  ASSERT_FALSE(documented.empty()) << kPageName << ": no key found; is the page's layout "
                                   << "(.SS [section], .TP, .BI \"key = \" VALUE) still the same?";

  std::set<std::pair<std::string, std::string>> seen;
  for (const Documented &d : documented) {
    if (!seen.insert({d.section, d.key}).second)
      ADD_FAILURE() << kPageName << ":" << d.line << ": [" << d.section << "] " << d.key
                    << ": documented twice";
    if (!in_table(d.section, d.key))
      ADD_FAILURE() << kPageName << ":" << d.line << ": [" << d.section << "] " << d.key
                    << ": documented, but not in the table of keys (config_sections() in "
                       "config.cpp): no program reads it";
  }
  for (const auto &[name, line] : sections) {
    bool known = false;
    for (const vesk::tool::ConfigSection &s : config_sections()) known = known || name == s.name;
    if (!known)
      ADD_FAILURE() << kPageName << ":" << line << ": [" << name
                    << "]: a section that is not in the table of keys (config_sections())";
  }
  for (const vesk::tool::ConfigSection &s : config_sections()) {
    bool has_section = false;
    for (const auto &entry : sections) has_section = has_section || entry.first == s.name;
    if (!has_section)
      ADD_FAILURE() << "[" << s.name << "]: a section of the table of keys (config_sections()) "
                    << "without its subsection in " << kPageName << " (.SS [" << s.name << "])";
    for (const char *key : s.keys)
      if (seen.count({s.name, key}) == 0)
        ADD_FAILURE() << "[" << s.name << "] " << key
                      << ": in the table of keys (config_sections()) but not in " << kPageName
                      << ": document it under .SS [" << s.name << "] as\n.TP\n.BI \"" << key
                      << " = \" VALUE\nwith its default and meaning";
  }
}

// Reads `text` as a configuration file; the error, or empty.
std::string read_as_config(const std::string &text) {
  TempDir dir;
  write_file(dir.file("vesk-index.conf"), text);
  vesk::tool::Config config;
  std::string error;
  if (!vesk::tool::read_config(dir.file("vesk-index.conf"), true, &config, &error)) return error;
  return "";
}

TEST(ConfigManual, ThePagesExampleIsAValidConfiguration) {
  std::string example;
  bool in_example = false, found = false;
  for (const std::string &line : lines_of(read_file(VESK_CONF_MANUAL))) {
    if (line == ".SH EXAMPLE") found = true;
    if (found && line == ".EX") in_example = true;
    else if (in_example && line == ".EE") break;
    else if (in_example) example += line + "\n";
  }
  ASSERT_FALSE(example.empty()) << kPageName << ": no .EX block under .SH EXAMPLE";
  EXPECT_EQ(read_as_config(example), "") << "the example of " << kPageName;
}

// The shipped file is all comments; with every commented section and
// "key = value" line taken in, it must still be read without error.
TEST(ConfigManual, TheShippedFileShowsOnlyKnownKeys) {
  std::string text = read_file(VESK_SHIPPED_CONFIG);
  ASSERT_EQ(read_as_config(text), "");
  static const std::regex kCommented(R"(^;(\[[a-z_]+\]|[a-z_]+ = .*)$)");
  std::string uncommented;
  int taken = 0;
  for (const std::string &line : lines_of(text)) {
    if (std::regex_match(line, kCommented)) {
      uncommented += line.substr(1) + "\n";
      ++taken;
    } else {
      uncommented += line + "\n";  // keeps the line numbers of messages
    }
  }
  EXPECT_GT(taken, 0);
  EXPECT_EQ(read_as_config(uncommented), "") << "with its commented settings taken in";
}

}  // namespace
}  // namespace vesk_test
