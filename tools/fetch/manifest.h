// The manifest of a published directory: which generation of the maps it
// holds, when it was made, and the size and SHA-256 of every file a host
// may download.  A text file of lines, each ending in a newline:
//
//   vesk-manifest 1
//   generation 42
//   created 2026-12-09T15:44:27Z
//   channel production
//   key 0123456789abcdef
//   map passwd size 66000 records 1000 sha256 HEX
//   zst passwd size 9000 sha256 HEX
//   delta passwd from 41 size 300 sha256 HEX
//   map group size ...
//   map keys size ...
//
// "channel": the fleet the maps are for (a host configured for another
// refuses them; a manifest without the line is "production"'s).  "key": the
// signing key's identity (key_id(): a host that trusts several keys checks
// the signature with that one).  Both are optional.  "map NAME": the map
// itself, file NAME (every one of kMapNames listed, and kKeysName, the SSH
// keys map, optionally: a manifest without it leaves a host's keys map as it
// is); "zst NAME": the map compressed with zstd, file NAME.zst;
// "delta NAME from G": the map compressed with generation G's map as its
// reference, file NAME.from-G.zst.  The sizes are in bytes, the hashes are
// the SHA-256 of the file's bytes in lowercase hex.  Numbers are decimal
// without leading zeros; single spaces separate the words.  Anything else,
// a line given twice or a zst or delta line of an unlisted map, makes the
// manifest invalid.  manifest.sig beside it holds the 64-byte Ed25519
// signature of the manifest's bytes.
#pragma once

#include <stdint.h>
#include <time.h>

#include <string>
#include <vector>

namespace vesk::fetch {

inline constexpr int kManifestVersion = 1;
inline constexpr size_t kManifestLimit = 65536;  // bytes
// The maps a manifest lists, in this order.
inline constexpr const char *kMapNames[] = {"passwd", "group"};
// The keys map, listed after them when published.
inline constexpr char kKeysName[] = "keys";
inline constexpr char kDefaultChannel[] = "production";

struct Blob {
  uint64_t size = 0;
  std::string sha256;  // empty: not offered
};

struct Delta {
  uint64_t from = 0;
  Blob blob;
};

struct MapEntry {
  std::string name;  // "passwd", "group" or "keys"
  uint64_t records = 0;
  Blob plain, zst;
  std::vector<Delta> deltas;

  const Delta *delta_from(uint64_t generation) const;
};

struct Manifest {
  uint64_t generation = 0;
  time_t created = 0;
  std::string channel;  // empty: not named (kDefaultChannel)
  std::string key;      // empty: not named
  std::vector<MapEntry> maps;  // passwd, group, then keys if published

  const MapEntry *map(const std::string &name) const;
};

std::string format_manifest(const Manifest &m);
// False with *error set ("line N: TEXT") when `text` is not a valid manifest.
bool parse_manifest(const std::string &text, Manifest *m, std::string *error);

// A channel's name: 1 to 64 of a-z, 0-9, '.', '_', '-'.
bool valid_channel(const std::string &name);

// False with *error set when a file the manifest lists is larger than
// `limit` bytes: checked before anything is allocated for it.
bool within_limit(const Manifest &m, uint64_t limit, std::string *error);

// "2026-12-09T15:44:27Z" and back.
std::string format_utc(time_t t);
bool parse_utc(const std::string &text, time_t *t);

// The file names of a map's published forms.
std::string zst_name(const std::string &map);
std::string delta_name(const std::string &map, uint64_t from);

}  // namespace vesk::fetch
