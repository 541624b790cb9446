// The keys map: users' SSH public keys, one per line, beside the passwd and
// group maps.
//
// A line is "USER:UID:KEY".  USER and UID name the account the key logs in
// to; KEY is one line of sshd's authorized_keys format: optional options,
// the key type, the key in base64 and an optional comment.  Lines starting
// with '#' and blank lines are comments.  All lines of one user stand
// together (the index holds one entry per user, at the first of them).
//
// A key is accepted only when its type is one of kKeyTypes, its base64
// decodes (canonically) to a public-key blob that names the same type and
// has that type's structure and size, and each of its options is one that
// the configuration allows.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <string_view>
#include <vector>

namespace vesk::keys {

// Longest KEY accepted, in bytes (a 16384-bit RSA key needs some 2.8 KB).
inline constexpr size_t kMaxKeyText = 8192;
// RSA moduli accepted, in bits.
inline constexpr unsigned kMinRsaBits = 2048, kMaxRsaBits = 16384;

// The key types accepted (DSA keys and certificates are not).
extern const char *const kKeyTypes[];
// The option names sshd knows in authorized_keys; [keys] allow_options may
// list only these.
extern const char *const kOptionNames[];
bool known_option(std::string_view name);

// One map line split into its fields (views into the line).
struct MapLine {
  std::string_view user;
  uint32_t uid = 0;
  std::string_view key;  // the authorized_keys line
};

// Splits "USER:UID:KEY".  False with *reason set when the line has no such
// fields, an empty or unusable user name, or a UID that isn't a plain
// decimal 32-bit number.
bool split_map_line(std::string_view line, MapLine *out, std::string *reason);

// One option of a key: its name and, for name="value", the value with the
// quoting undone.
struct KeyOption {
  std::string name;
  std::string value;
  bool has_value = false;
};

// A key line taken apart.
struct KeyParts {
  std::vector<KeyOption> options;
  std::string_view type, base64, comment;
};

// Takes an authorized_keys line apart and judges it.  `allowed` holds the
// option names the configuration allows (lower case).  False with *reason
// set when the key must not be served.
bool judge_key(std::string_view key, const std::vector<std::string> &allowed, KeyParts *parts,
               std::string *reason);

// Parses an options field (name or name="value", comma-separated, as sshd
// reads them; inside quotes \" is a quote).  False with *reason set on a
// malformed field.
bool parse_options(std::string_view field, std::vector<KeyOption> *out, std::string *reason);

// Strict base64 (standard alphabet, '=' padding to a multiple of four, no
// bits left over).  False on anything else.
bool decode_base64(std::string_view text, std::string *out);

// Checks a decoded public-key blob of `type`.  False with *reason set.
bool check_blob(std::string_view type, std::string_view blob, std::string *reason);

}  // namespace vesk::keys
