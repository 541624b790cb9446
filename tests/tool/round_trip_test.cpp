// Round trips: indexes built by vesk-index are exactly the documented format,
// and the module's indexed search finds every record of the map through
// them (the search never scans, so SUCCESS means the index was used).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <set>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "lookup/search.h"
#include "nss_vesk.h"
#include "test_support.h"
#include "tool_runner.h"

namespace vesk_test {
namespace {

constexpr size_t kMaxNameLength = 255;  // longest name built without a report

std::string passwd_line(const std::string &name, uint32_t uid) {
  return name + ":x:" + std::to_string(uid) + ":30000:User " + name + ":/home/" + name +
         ":/bin/sh\n";
}

// What the tool says beside the content policy's reports, which these maps,
// with their extreme ids and odd lines, draw by design.
std::string beside_policy(const std::string &said) {
  std::string kept;
  for (size_t at = 0; at < said.size();) {
    size_t nl = said.find('\n', at);
    size_t end = nl == std::string::npos ? said.size() : nl + 1;
    std::string line = said.substr(at, end - at);
    if (line.find(": refused: ") == std::string::npos &&
        line.find("as member(s); kept") == std::string::npos &&
        line.find(" in the password field: ") == std::string::npos)
      kept += line;
    at = end;
  }
  return kept;
}

// The index entries of a map: the first record of each key.
std::vector<IndexEntry> first_of_each(std::vector<IndexEntry> entries) {
  std::vector<IndexEntry> first;
  std::set<std::string> seen;
  for (IndexEntry &e : entries)
    if (seen.insert(e.key).second) first.push_back(std::move(e));
  return first;
}

std::string group_line(const std::string &name, uint32_t gid) {
  return name + ":x:" + std::to_string(gid) + ":m1,m2,m3,m4,m5\n";
}

// A map with everything the reader and the index must cope with: comments,
// blank lines, malformed lines, NUL bytes, leading white space, the id extremes,
// duplicate names and ids, the longest name without a report, many ids whose
// numeric order differs from their string order, and no final newline.
std::string messy_map(Db db) {
  auto line = [db](const std::string &name, uint32_t id) {
    return db == Db::Passwd ? passwd_line(name, id) : group_line(name, id);
  };
  std::string map = "# the map\n\n";
  map += line("root", 0);                        // line 3
  map += line("max31", 2147483647u);             // line 4
  map += line("min31", 2147483648u);             // line 5
  map += line("top", 4294967295u);               // line 6
  map += line("zero2", 0);                       // line 7: duplicate id
  map += line("root", 5);                        // line 8: duplicate name
  map += "not a record line\n";                  // line 9
  map += "  " + line("spaced", 7);               // line 10
  map += line(std::string(kMaxNameLength, 'n'), 9);  // line 11
  map += "\t# indented comment\n";               // line 12
  map += std::string("b\0junk:x:2:2::/:/bin/sh\n", 24);  // line 13: the reader sees "b"
  map += std::string("\0after a NUL\n", 13);   // blank to the reader
  std::string trailing = line("trail", 11);
  trailing.insert(trailing.size() - 1, std::string("\0tail", 5));  // ignored after the NUL
  map += trailing;
  for (uint32_t i = 0; i < 400; ++i) map += line("u" + std::to_string(i * 37 % 400), i * 7919 + 3);
  std::string last = line("last", 100);
  last.pop_back();
  return map + last;
}

template <typename Record>
enum nss_status search(const std::string &map, const std::string &index, Key kind,
                       const std::string &key, Record *record, std::vector<char> &buffer) {
  uint32_t id = kind == Key::Id ? static_cast<uint32_t>(std::stoll(key)) : 0;
  IndexSearch s{map.c_str(),
                index.c_str(),
                kind == Key::Name ? vesk::verify_name<Record> : vesk::verify_id<Record>,
                kind == Key::Name ? static_cast<const void *>(key.c_str()) : &id,
                record,
                buffer.data(),
                buffer.size(),
                key.c_str(),
                key.size()};
  int err = 0;
  return _nss_vesk_bsearch2(&s, &err);
}

// Every record of the map is found through the index, under its key; a
// compat line ("+name", "-name") is indexed as the reader sees it, but the
// module never answers for it.
template <typename Record>
void expect_all_found(const std::string &map_path, Db db) {
  std::string content = read_file(map_path);
  std::vector<char> buffer(1 << 16);
  Record record;
  const std::vector<IndexEntry> names = map_entries(content, db, Key::Name);
  for (Key kind : {Key::Name, Key::Id}) {
    std::string index = map_path + (kind == Key::Name ? ".ixname"
                                    : db == Db::Passwd ? ".ixuid"
                                                       : ".ixgid");
    // Byte for byte the documented format, in map order among equal keys.
    EXPECT_EQ(read_file(index), index_bytes(first_of_each(map_entries(content, db, kind)))) << index;
    std::vector<IndexEntry> entries = map_entries(content, db, kind);
    ASSERT_FALSE(entries.empty());
    ASSERT_EQ(entries.size(), names.size());
    for (size_t i = 0; i < entries.size(); ++i) {
      const IndexEntry &e = entries[i];
      if (names[i].key[0] == '+' || names[i].key[0] == '-') {
        EXPECT_NE(search(map_path, index, kind, e.key, &record, buffer), NSS_STATUS_SUCCESS)
            << index << " compat key " << e.key;
        continue;
      }
      ASSERT_EQ(search(map_path, index, kind, e.key, &record, buffer), NSS_STATUS_SUCCESS)
          << index << " key " << e.key;
      if constexpr (std::is_same_v<Record, struct passwd>)
        EXPECT_EQ(kind == Key::Name ? std::string(record.pw_name) : id_key(record.pw_uid), e.key);
      else
        EXPECT_EQ(kind == Key::Name ? std::string(record.gr_name) : id_key(record.gr_gid), e.key);
    }
  }
}

TEST(ToolRoundTrip, EveryRecordOfAMessyMapIsFoundThroughItsIndexes) {
  TempDir dir;
  std::string passwd = dir.file("passwd.vesk"), group = dir.file("group.vesk");
  write_file(passwd, messy_map(Db::Passwd));
  write_file(group, messy_map(Db::Group));

  ToolRun run = run_tool({"build", "--passwd", passwd, "--group", group});
  EXPECT_EQ(run.status, 1) << run.err;  // duplicates and a malformed line
  expect_all_found<struct passwd>(passwd, Db::Passwd);
  expect_all_found<struct group>(group, Db::Group);
  // A duplicated key means its first record, through the index as in a scan.
  {
    struct passwd pw;
    std::vector<char> buffer(4096);
    EXPECT_EQ(search(passwd, passwd + ".ixname", Key::Name, "root", &pw, buffer), NSS_STATUS_SUCCESS);
    EXPECT_EQ(pw.pw_uid, 0u);
    EXPECT_EQ(search(passwd, passwd + ".ixuid", Key::Id, "0", &pw, buffer), NSS_STATUS_SUCCESS);
    EXPECT_STREQ(pw.pw_name, "root");
  }
  // The policy refuses the reserved and the local ones.
  EXPECT_NE(run.err.find(passwd + ":3: refused: uid 0 is below the minimum 1000"),
            std::string::npos) << run.err;
  EXPECT_NE(run.err.find(passwd + ":6: refused: uid 4294967295 is reserved"), std::string::npos);
  run.err = beside_policy(run.err);

  // Each problem once, with file and line; nothing about the long name or
  // the comments.
  for (const std::string &map : {passwd, group}) {
    const char *thing = map == passwd ? "user" : "group";
    const char *id = map == passwd ? "uid" : "gid";
    EXPECT_NE(run.err.find("vesk-index: " + map + ":9: not a valid"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("vesk-index: " + map + ":13: not a valid"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("vesk-index: " + map + ":7: duplicate " + id +
                           " 0 (first on line 3); lookups find the first"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("vesk-index: " + map + ":8: duplicate " + thing +
                           " name \"root\" (first on line 3)"),
              std::string::npos)
        << run.err;
  }
  EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 8) << run.err;

  // check accepts the indexes and reports what build reported.
  std::string built = run.err;
  run = run_tool({"check", "--passwd", passwd, "--group", group});
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_EQ(beside_policy(run.err), built);
  size_t records = first_of_each(map_entries(read_file(passwd), Db::Passwd, Key::Id)).size();
  EXPECT_NE(run.out.find(passwd + ".ixuid: " + std::to_string(records) +
                         " entries, fresh and complete; lookups by uid use it"),
            std::string::npos)
      << run.out;
}

TEST(ToolRoundTrip, CleanMapBuildsQuietlyWithReadableIndexesNoOlderThanTheMap) {
  TempDir dir;
  std::string passwd = dir.file("passwd.vesk"), group = dir.file("group.vesk");
  std::string p, g;
  for (uint32_t i = 0; i < 50; ++i) {
    p += passwd_line("user" + std::to_string(i), 20000 + i);
    g += group_line("group" + std::to_string(i), 20000 + i);
  }
  write_file(passwd, p);
  write_file(group, g);
  // A map stamped in the future (a clock ahead of ours): the index must not
  // be older, or lookups would ignore it.
  time_t future = time(nullptr) + 3600;
  set_mtime(passwd, future);

  ToolRun run = run_tool({"build", "--passwd=" + passwd, "--group=" + group}, {0, 077});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out + run.err, "");
  for (const char *suffix : {".ixname", ".ixuid"}) {
    struct stat st;
    ASSERT_EQ(stat((passwd + suffix).c_str(), &st), 0);
    EXPECT_GE(st.st_mtime, future);
    EXPECT_EQ(st.st_mode & 07777, 0644u);  // whatever the umask: every process reads it
  }
  expect_all_found<struct passwd>(passwd, Db::Passwd);
  expect_all_found<struct group>(group, Db::Group);
  // Only the map and its indexes: no temporary file remains.
  EXPECT_EQ(dir_names(dir.path).size(), 6u);
}

TEST(ToolRoundTrip, OverlongNameIsReportedButIndexedUnlessStrict) {
  TempDir dir;
  std::string passwd = dir.file("passwd.vesk"), group = dir.file("group.vesk");
  std::string name(kMaxNameLength + 1, 'x');
  write_file(passwd, passwd_line("alice", 20001) + passwd_line(name, 20002));
  write_file(group, "");

  ToolRun run = run_tool({"build", "--strict", "--passwd", passwd, "--group", group});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find(passwd + ":2: refused: user name \"xxx"),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("--strict: indexes left as they were"), std::string::npos) << run.err;
  struct stat st;
  EXPECT_NE(stat((passwd + ".ixname").c_str(), &st), 0);

  run = run_tool({"build", "--passwd", passwd, "--group", group});
  EXPECT_EQ(run.status, 1);
  expect_all_found<struct passwd>(passwd, Db::Passwd);
  // The empty group map gets empty indexes, which check accepts.
  EXPECT_EQ(read_file(group + ".ixname"), "");
  run = run_tool({"check", "--passwd", passwd, "--group", group});
  EXPECT_EQ(run.status, 1) << run.err;  // the name, reported again
  EXPECT_NE(run.err.find("can't be a login name: it is longer than 255 bytes"), std::string::npos);
}

// A map of some megabytes is read in pieces (and in two halves at once):
// the records, offsets and line numbers must come out as if the reader had
// read it line by line.
TEST(ToolRoundTrip, LargeMapReadInPiecesGivesTheSameIndexesAndLineNumbers) {
  TempDir dir;
  std::string passwd = dir.file("passwd.vesk"), group = dir.file("group.vesk");
  std::string map;
  std::vector<size_t> malformed;
  size_t line = 0;
  for (uint32_t i = 0; i < 72000; ++i) {
    if (i % 997 == 5) {
      map += "broken line " + std::to_string(i) + "\n";
      malformed.push_back(++line);
    }
    if (i % 1009 == 7) {
      map += "# comment\n\n";
      line += 2;
    }
    if (i == 71990) {  // one line longer than a piece, in the second half
      map += "huge:x:4000000000:1:" + std::string((4 << 20) + (64 << 10), 'g') + ":/:/bin/sh\n";
      ++line;
    }
    map += passwd_line("user" + std::to_string(i * 7 % 72001), i * 13 + 1);
    ++line;
  }
  // Maps of 8 MiB and more are read in two halves, each in pieces of 4 MiB
  // that grow to hold a longer line; the middle falls among the records.
  ASSERT_GE(map.size(), size_t{8} << 20);
  write_file(passwd, map);
  write_file(group, group_line("g", 1));

  ToolRun run = run_tool({"build", "--passwd", passwd, "--group", group});
  EXPECT_EQ(run.status, 1);
  for (Key kind : {Key::Name, Key::Id})
    EXPECT_TRUE(read_file(passwd + (kind == Key::Name ? ".ixname" : ".ixuid")) ==
                index_bytes(first_of_each(map_entries(map, Db::Passwd, kind))));
  for (size_t n : malformed)
    EXPECT_NE(run.err.find(passwd + ":" + std::to_string(n) + ": not a valid passwd line"),
              std::string::npos)
        << n;
  EXPECT_NE(run.err.find("bytes is longer than the 1048576-byte buffer"), std::string::npos);
  run.err = beside_policy(run.err);
  EXPECT_EQ(static_cast<size_t>(std::count(run.err.begin(), run.err.end(), '\n')),
            malformed.size() + 1);
}

// Common lines are parsed by the tool itself, anything unusual by the reader:
// lines just inside and just outside the common shape, mixed, must give the
// indexes and reports that the reader alone gives.
// A string literal's bytes, NULs included.
template <size_t N>
std::string bytes(const char (&literal)[N]) {
  return std::string(literal, N - 1);
}

TEST(ToolRoundTrip, UnusualLinesBesideCommonOnesAreIndexedAsTheReaderSeesThem) {
  const std::vector<std::string> passwd_lines = {
      "plain:x:3:1:g:/h:/bin/sh\n",
      "a b:x:2:2:g:/h:/bin/sh\n",  // white space inside a name
      "zeros:x:007:1:g:/h:/bin/sh\n",
      "crlf:x:8:8:g:/h:/bin/sh\r\n",
      "plus:x:+9:1:g:/h:/bin/sh\n",
      "sp:x: 10:1:g:/h:/bin/sh\n",
      "short:x:11:1:g:/h\n",
      "long:x:12:1:g:/h:/bin/sh:more\n",
      "ten:x:1234567890:1:g:/h:/bin/sh\n",
      bytes("nul:x:13:1:ge\0cos:/h:/bin/sh\n"),
      bytes("id:x:1\0" "4:1:g:/h:/bin/sh\n"),
      bytes("n\0ul:x:19:1:g:/h:/bin/sh\n"),
      "\xc3\xa9t\xc3\xa9:x:14:1:g:/h:/bin/sh\n",
      "+compat:x:15:1:g:/h:/bin/sh\n",
      "badid:x:16a:1:g:/h:/bin/sh\n",
      "noid:x::1:g:/h:/bin/sh\n",
      "badgid:x:17:1b:g:/h:/bin/sh\n",
      "after:x:18:1:g:/h:/bin/sh\n",
  };
  const std::vector<std::string> group_lines = {
      "plain:x:3:m\n",
      "a b:x:2:m,n\n",
      "zeros:x:007:\n",
      "crlf:x:8:m\r\n",
      "plus:x:+9:m\n",
      "sp:x: 10:m\n",
      "short:x:11\n",
      "long:x:12:m:n\n",
      "ten:x:1234567890:m\n",
      bytes("nul:x:13:m\0n\n"),
      bytes("id:x:1\0" "4:m\n"),
      bytes("n\0ul:x:19:m\n"),
      "\xc3\xa9t\xc3\xa9:x:14:m\n",
      "-compat:x:15:m\n",
      "badid:x:16a:m\n",
      "noid:x::m\n",
      "after:x:18:m\n",
  };
  TempDir dir;
  std::string passwd = dir.file("passwd.vesk"), group = dir.file("group.vesk");
  // Each line follows a record, so that the tool's own parser meets it
  // first (the reader, once called, skips on through rejected lines).
  std::string p, g;
  for (size_t i = 0; i < passwd_lines.size(); ++i)
    p += passwd_line("ok" + std::to_string(i), 100 + i) + passwd_lines[i];
  for (size_t i = 0; i < group_lines.size(); ++i)
    g += group_line("ok" + std::to_string(i), 100 + i) + group_lines[i];
  write_file(passwd, p);
  write_file(group, g);

  ToolRun run = run_tool({"build", "--passwd", passwd, "--group", group});
  EXPECT_EQ(run.status, 1) << run.err;  // the lines the reader rejects
  expect_all_found<struct passwd>(passwd, Db::Passwd);
  expect_all_found<struct group>(group, Db::Group);
  // Every line the reader rejects is reported, and nothing else.
  size_t reports = 0;
  for (const auto &[map, lines, db] :
       {std::make_tuple(passwd, passwd_lines, Db::Passwd),
        std::make_tuple(group, group_lines, Db::Group)}) {
    for (size_t i = 0; i < lines.size(); ++i) {
      if (!map_entries(lines[i], db, Key::Name).empty()) continue;
      ++reports;
      EXPECT_NE(run.err.find(map + ":" + std::to_string(2 * i + 2) + ": not a valid"),
                std::string::npos)
          << 2 * i + 2 << "\n" << run.err;
    }
  }
  EXPECT_GE(reports, 5u);
  run.err = beside_policy(run.err);
  EXPECT_EQ(static_cast<size_t>(std::count(run.err.begin(), run.err.end(), '\n')), reports)
      << run.err;
}

}  // namespace
}  // namespace vesk_test
