#include "manifest.h"

#include <stdio.h>

#include "config/config.h"

namespace vesk::fetch {

namespace {

bool number(const std::string &text, uint64_t *out) {
  if (text.size() > 1 && text[0] == '0') return false;
  return tool::parse_uint(text, UINT64_MAX, out);
}

bool hex64(const std::string &text) {
  if (text.size() != 64) return false;
  for (char c : text)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

std::vector<std::string> split(const std::string &line) {
  std::vector<std::string> words;
  size_t start = 0;
  for (;;) {
    size_t space = line.find(' ', start);
    words.push_back(line.substr(start, space - start));
    if (space == std::string::npos) return words;
    start = space + 1;
  }
}

std::string blob_words(const Blob &b) {
  return "size " + std::to_string(b.size) + " sha256 " + b.sha256;
}

// "size N sha256 HEX" at words[i..i+3].
bool parse_blob(const std::vector<std::string> &w, size_t i, Blob *b) {
  return w.size() == i + 4 && w[i] == "size" && number(w[i + 1], &b->size) &&
         w[i + 2] == "sha256" && hex64(w[i + 3]) && (b->sha256 = w[i + 3], true);
}

}  // namespace

const Delta *MapEntry::delta_from(uint64_t generation) const {
  for (const Delta &d : deltas)
    if (d.from == generation) return &d;
  return nullptr;
}

bool valid_channel(const std::string &name) {
  if (name.empty() || name.size() > 64) return false;
  for (char c : name)
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-'))
      return false;
  return true;
}

bool within_limit(const Manifest &m, uint64_t limit, std::string *error) {
  auto check = [&](const std::string &file, const Blob &b) {
    if (b.size <= limit) return true;
    *error = file + " is " + std::to_string(b.size) + " bytes, more than max_map_size (" +
             std::to_string(limit) + ")";
    return false;
  };
  for (const MapEntry &e : m.maps) {
    if (!check(e.name, e.plain) || !check(zst_name(e.name), e.zst)) return false;
    for (const Delta &d : e.deltas)
      if (!check(delta_name(e.name, d.from), d.blob)) return false;
  }
  return true;
}

const MapEntry *Manifest::map(const std::string &name) const {
  for (const MapEntry &e : maps)
    if (e.name == name) return &e;
  return nullptr;
}

std::string format_utc(time_t t) {
  struct tm tm;
  gmtime_r(&t, &tm);
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

bool parse_utc(const std::string &text, time_t *t) {
  struct tm tm {};
  char z = 0;
  int n = 0;
  if (text.size() != 20 ||
      sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c%n", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
             &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &z, &n) != 7 ||
      n != 20 || z != 'Z' || text[4] != '-' || text[7] != '-' || text[13] != ':' ||
      text[16] != ':')
    return false;
  for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9, 11, 12, 14, 15, 17, 18})
    if (text[i] < '0' || text[i] > '9') return false;
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  *t = timegm(&tm);
  return format_utc(*t) == text;  // no 25:00 or 30 February
}

std::string zst_name(const std::string &map) { return map + ".zst"; }

std::string delta_name(const std::string &map, uint64_t from) {
  return map + ".from-" + std::to_string(from) + ".zst";
}

std::string format_manifest(const Manifest &m) {
  std::string out = "vesk-manifest " + std::to_string(kManifestVersion) + "\ngeneration " +
                    std::to_string(m.generation) + "\ncreated " + format_utc(m.created) + "\n";
  if (!m.channel.empty()) out += "channel " + m.channel + "\n";
  if (!m.key.empty()) out += "key " + m.key + "\n";
  for (const MapEntry &e : m.maps) {
    out += "map " + e.name + " size " + std::to_string(e.plain.size) + " records " +
           std::to_string(e.records) + " sha256 " + e.plain.sha256 + "\n";
    if (!e.zst.sha256.empty()) out += "zst " + e.name + " " + blob_words(e.zst) + "\n";
    for (const Delta &d : e.deltas)
      out += "delta " + e.name + " from " + std::to_string(d.from) + " " + blob_words(d.blob) +
             "\n";
  }
  return out;
}

bool parse_manifest(const std::string &text, Manifest *m, std::string *error) {
  *m = Manifest{};
  if (text.size() > kManifestLimit) {
    *error = "larger than " + std::to_string(kManifestLimit) + " bytes";
    return false;
  }
  if (text.empty() || text.back() != '\n') {
    *error = "does not end in a newline";
    return false;
  }
  bool have_generation = false, have_created = false;
  size_t start = 0;
  int line = 0;
  auto fail = [&](const std::string &why) {
    *error = "line " + std::to_string(line) + ": " + why;
    return false;
  };
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    std::vector<std::string> w = split(text.substr(start, nl - start));
    start = nl + 1;
    ++line;
    if (line == 1) {
      if (w.size() != 2 || w[0] != "vesk-manifest") return fail("not a vesk manifest");
      if (w[1] != std::to_string(kManifestVersion))
        return fail("format version " + w[1] + ", this program reads version " +
                    std::to_string(kManifestVersion));
      continue;
    }
    const std::string &kind = w[0];
    if (kind == "generation") {
      if (have_generation) return fail("a second generation");
      if (w.size() != 2 || !number(w[1], &m->generation) || m->generation == 0)
        return fail("not a generation (a number from 1)");
      have_generation = true;
    } else if (kind == "created") {
      if (have_created) return fail("a second creation time");
      if (w.size() != 2 || !parse_utc(w[1], &m->created))
        return fail("not a creation time (YYYY-MM-DDTHH:MM:SSZ)");
      have_created = true;
    } else if (kind == "channel") {
      if (!m->channel.empty()) return fail("a second channel");
      if (w.size() != 2 || !valid_channel(w[1]))
        return fail("not a channel (a-z, 0-9, '.', '_', '-')");
      m->channel = w[1];
    } else if (kind == "key") {
      if (!m->key.empty()) return fail("a second key");
      if (w.size() != 2 || w[1].size() != 16 || w[1].find_first_not_of("0123456789abcdef") != std::string::npos)
        return fail("not a key identity (16 hex digits)");
      m->key = w[1];
    } else if (kind == "map") {
      bool known = w.size() >= 2 && w[1] == kKeysName;
      for (const char *name : kMapNames) known = known || (w.size() >= 2 && w[1] == name);
      if (!known) return fail("a map this program does not know");
      if (m->map(w[1]) != nullptr) return fail("map " + w[1] + " listed twice");
      MapEntry e;
      e.name = w[1];
      // map NAME size N records N sha256 HEX
      if (w.size() != 8 || w[2] != "size" || !number(w[3], &e.plain.size) ||
          w[4] != "records" || !number(w[5], &e.records) || w[6] != "sha256" || !hex64(w[7]))
        return fail("not \"map NAME size N records N sha256 HEX\"");
      e.plain.sha256 = w[7];
      m->maps.push_back(e);
    } else if (kind == "zst" || kind == "delta") {
      MapEntry *e = nullptr;
      for (MapEntry &x : m->maps)
        if (w.size() >= 2 && x.name == w[1]) e = &x;
      if (e == nullptr) return fail(kind + " line before its map line");
      if (kind == "zst") {
        if (!e->zst.sha256.empty()) return fail("zst " + e->name + " listed twice");
        if (!parse_blob(w, 2, &e->zst)) return fail("not \"zst NAME size N sha256 HEX\"");
      } else {
        Delta d;
        if (w.size() < 4 || w[2] != "from" || !number(w[3], &d.from) || d.from == 0 ||
            !parse_blob(w, 4, &d.blob))
          return fail("not \"delta NAME from G size N sha256 HEX\"");
        if (e->delta_from(d.from) != nullptr)
          return fail("delta " + e->name + " from " + w[3] + " listed twice");
        e->deltas.push_back(d);
      }
    } else {
      return fail("unknown line \"" + kind + "\"");
    }
  }
  if (!have_generation || !have_created) {
    *error = "no generation or creation time";
    return false;
  }
  for (const char *name : kMapNames)
    if (m->map(name) == nullptr) {
      *error = std::string("map ") + name + " missing";
      return false;
    }
  for (const MapEntry &e : m->maps)
    for (const Delta &d : e.deltas)
      if (d.from >= m->generation) {
        *error = "a delta from generation " + std::to_string(d.from) + ", not older than " +
                 std::to_string(m->generation);
        return false;
      }
  return true;
}

}  // namespace vesk::fetch
