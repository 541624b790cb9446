#include "keys/key_line.h"

#include <ctype.h>
#include <string.h>

namespace vesk::keys {

const char *const kKeyTypes[] = {
    "ssh-ed25519",
    "ssh-rsa",
    "ecdsa-sha2-nistp256",
    "ecdsa-sha2-nistp384",
    "ecdsa-sha2-nistp521",
    "sk-ssh-ed25519@openssh.com",
    "sk-ecdsa-sha2-nistp256@openssh.com",
    nullptr,
};

const char *const kOptionNames[] = {
    "agent-forwarding", "cert-authority", "command",          "environment",
    "expiry-time",      "from",           "no-agent-forwarding", "no-port-forwarding",
    "no-pty",           "no-touch-required", "no-user-rc",    "no-x11-forwarding",
    "permitlisten",     "permitopen",     "port-forwarding",  "principals",
    "pty",              "restrict",       "tunnel",           "user-rc",
    "verify-required",  "x11-forwarding", nullptr,
};

namespace {

bool in_list(const char *const *list, std::string_view word) {
  for (; *list != nullptr; ++list)
    if (word == *list) return true;
  return false;
}

std::string lower(std::string_view s) {
  std::string out(s);
  for (char &c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

// A printable excerpt of `s` for messages.
std::string shown(std::string_view s) {
  std::string out = "'";
  for (size_t i = 0; i < s.size() && i < 40; ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    out += c < 0x20 || c == 0x7f ? '?' : static_cast<char>(c);
  }
  if (s.size() > 40) out += "...";
  return out + "'";
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// The next blank-separated token of *rest, which then starts after it.
std::string_view next_token(std::string_view *rest) {
  size_t start = 0;
  while (start < rest->size() && is_blank((*rest)[start])) ++start;
  size_t end = start;
  while (end < rest->size() && !is_blank((*rest)[end])) ++end;
  std::string_view token = rest->substr(start, end - start);
  *rest = rest->substr(end);
  return token;
}

// Reader of the SSH wire encoding: big-endian uint32 lengths before strings.
struct Wire {
  std::string_view data;
  bool string(std::string_view *out) {
    if (data.size() < 4) return false;
    uint32_t n = (uint32_t{static_cast<unsigned char>(data[0])} << 24) |
                 (uint32_t{static_cast<unsigned char>(data[1])} << 16) |
                 (uint32_t{static_cast<unsigned char>(data[2])} << 8) |
                 uint32_t{static_cast<unsigned char>(data[3])};
    if (n > data.size() - 4) return false;
    *out = data.substr(4, n);
    data = data.substr(4 + n);
    return true;
  }
};

// Bits of a positive mpint (SSH encoding: big-endian, no needless leading
// zero byte); 0 for a malformed or non-positive one.
unsigned mpint_bits(std::string_view m) {
  if (m.empty() || (static_cast<unsigned char>(m[0]) & 0x80)) return 0;
  if (m[0] == 0) {
    if (m.size() < 2 || !(static_cast<unsigned char>(m[1]) & 0x80)) return 0;
    m = m.substr(1);
  }
  unsigned bits = static_cast<unsigned>(m.size() - 1) * 8;
  for (unsigned top = static_cast<unsigned char>(m[0]); top != 0; top >>= 1) ++bits;
  return bits;
}

}  // namespace

bool known_option(std::string_view name) { return in_list(kOptionNames, lower(name)); }

bool split_map_line(std::string_view line, MapLine *out, std::string *reason) {
  size_t c1 = line.find(':');
  size_t c2 = c1 == std::string_view::npos ? c1 : line.find(':', c1 + 1);
  if (c2 == std::string_view::npos) {
    *reason = "not a keys line (USER:UID:KEY)";
    return false;
  }
  std::string_view user = line.substr(0, c1), uid = line.substr(c1 + 1, c2 - c1 - 1);
  if (user.empty() || user.size() > 255) {
    *reason = user.empty() ? "empty user name" : "user name longer than 255 bytes";
    return false;
  }
  for (char c : user) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7f) {
      *reason = "user name " + shown(user) + " holds a blank or control character";
      return false;
    }
  }
  uint64_t value = 0;
  bool plain = !uid.empty() && uid.size() <= 10 && (uid[0] != '0' || uid.size() == 1);
  for (char c : uid) {
    if (c < '0' || c > '9') plain = false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (!plain || value > UINT32_MAX) {
    *reason = "uid field " + shown(uid) + " is not a decimal 32-bit number";
    return false;
  }
  out->user = user;
  out->uid = static_cast<uint32_t>(value);
  out->key = line.substr(c2 + 1);
  return true;
}

bool parse_options(std::string_view field, std::vector<KeyOption> *out, std::string *reason) {
  size_t i = 0;
  while (true) {
    size_t start = i;
    while (i < field.size() && (isalnum(static_cast<unsigned char>(field[i])) || field[i] == '-'))
      ++i;
    KeyOption option;
    option.name = lower(field.substr(start, i - start));
    if (option.name.empty()) {
      *reason = "malformed options " + shown(field);
      return false;
    }
    if (i < field.size() && field[i] == '=') {
      if (++i >= field.size() || field[i] != '"') {
        *reason = "option " + option.name + "= without a quoted value";
        return false;
      }
      ++i;
      option.has_value = true;
      while (i < field.size() && field[i] != '"') {
        if (field[i] == '\\' && i + 1 < field.size() && field[i + 1] == '"') ++i;
        option.value += field[i++];
      }
      if (i >= field.size()) {
        *reason = "option " + option.name + "= has no closing quote";
        return false;
      }
      ++i;  // the closing quote
    }
    out->push_back(std::move(option));
    if (i == field.size()) return true;
    if (field[i] != ',') {
      *reason = "malformed options " + shown(field);
      return false;
    }
    ++i;
  }
}

bool decode_base64(std::string_view text, std::string *out) {
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  if (text.empty() || text.size() % 4 != 0) return false;
  size_t pad = text.back() == '=' ? (text[text.size() - 2] == '=' ? 2 : 1) : 0;
  out->clear();
  uint32_t acc = 0;
  int bits = 0;
  for (size_t i = 0; i < text.size() - pad; ++i) {
    int v = value(text[i]);
    if (v < 0) return false;
    acc = (acc << 6) | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out->push_back(static_cast<char>((acc >> bits) & 0xff));
    }
  }
  // Padding makes up whole groups, and the bits left over are zero.
  return bits == static_cast<int>(pad * 2) && (acc & ((1u << bits) - 1)) == 0;
}

bool check_blob(std::string_view type, std::string_view blob, std::string *reason) {
  Wire w{blob};
  std::string_view named;
  if (!w.string(&named) || named != type) {
    *reason = "the key's data does not name its type " + std::string(type);
    return false;
  }
  auto bad = [&](const char *what) {
    *reason = std::string(type) + " key: " + what;
    return false;
  };
  std::string_view a, b, app;
  if (type == "ssh-ed25519" || type == "sk-ssh-ed25519@openssh.com") {
    if (!w.string(&a) || a.size() != 32) return bad("not a 32-byte public key");
    if (type[0] == 's' && type[1] == 'k' && (!w.string(&app) || app.empty()))
      return bad("no application");
  } else if (type == "ssh-rsa") {
    if (!w.string(&a) || !w.string(&b)) return bad("truncated");
    unsigned e_bits = mpint_bits(a), n_bits = mpint_bits(b);
    if (e_bits < 2 || e_bits > 64 || !(static_cast<unsigned char>(a.back()) & 1))
      return bad("bad public exponent");
    if (n_bits < kMinRsaBits || n_bits > kMaxRsaBits)
      return bad(n_bits == 0 ? "bad modulus" : "modulus size outside 2048..16384 bits");
  } else {  // ecdsa-sha2-nistpN and sk-ecdsa-sha2-nistp256@openssh.com
    bool sk = type.substr(0, 3) == "sk-";
    std::string_view curve = type.substr(sk ? 14 : 11, 8);
    size_t point = curve == "nistp256" ? 65 : curve == "nistp384" ? 97 : 133;
    if (!w.string(&a) || a != curve) return bad("names another curve");
    if (!w.string(&b) || b.size() != point || b[0] != 4) return bad("not an uncompressed point");
    if (sk && (!w.string(&app) || app.empty())) return bad("no application");
  }
  if (!w.data.empty()) return bad("trailing data");
  return true;
}

bool judge_key(std::string_view key, const std::vector<std::string> &allowed, KeyParts *parts,
               std::string *reason) {
  if (key.size() > kMaxKeyText) {
    *reason = "key longer than " + std::to_string(kMaxKeyText) + " bytes";
    return false;
  }
  for (char c : key) {
    unsigned char u = static_cast<unsigned char>(c);
    if ((u < 0x20 && c != '\t') || u == 0x7f) {
      *reason = "key holds a control character";
      return false;
    }
  }
  std::string_view rest = key;
  std::string_view first = next_token(&rest);
  if (first.empty()) {
    *reason = "no key";
    return false;
  }
  parts->options.clear();
  if (!in_list(kKeyTypes, first)) {
    // Not a type: an options field, unless it is a type we don't accept.
    // Its quoted values may hold blanks, so it ends at the first blank
    // outside quotes.
    size_t start = static_cast<size_t>(first.data() - key.data());
    size_t i = start;
    bool quoted = false;
    for (; i < key.size() && (quoted || !is_blank(key[i])); ++i) {
      if (key[i] == '\\' && quoted && i + 1 < key.size() && key[i + 1] == '"') ++i;
      else if (key[i] == '"') quoted = !quoted;
    }
    std::string_view field = key.substr(start, i - start);
    std::string why;
    if (!parse_options(field, &parts->options, &why)) {
      bool looks_like_type = field.find_first_of("=,\"") == std::string_view::npos &&
                             !known_option(field);
      *reason = looks_like_type ? "unknown key type " + shown(field) : why;
      return false;
    }
    if (parts->options.size() == 1 && !parts->options[0].has_value &&
        !known_option(parts->options[0].name)) {
      *reason = "unknown key type " + shown(field);  // a bare word: a type, not an option
      return false;
    }
    for (const KeyOption &o : parts->options) {
      if (!known_option(o.name)) {
        *reason = "unknown option " + shown(o.name);
        return false;
      }
      bool ok = false;
      for (const std::string &a : allowed) ok = ok || a == o.name;
      if (!ok) {
        *reason = "option " + o.name + " is not allowed ([keys] allow_options)";
        return false;
      }
    }
    rest = key.substr(i);
    first = next_token(&rest);
    if (!in_list(kKeyTypes, first)) {
      *reason = first.empty() ? "options without a key" : "unknown key type " + shown(first);
      return false;
    }
  }
  parts->type = first;
  parts->base64 = next_token(&rest);
  size_t c = 0;
  while (c < rest.size() && is_blank(rest[c])) ++c;
  parts->comment = rest.substr(c);
  std::string blob;
  if (parts->base64.empty() || !decode_base64(parts->base64, &blob)) {
    *reason = "the key's base64 " + shown(parts->base64) + " does not decode";
    return false;
  }
  return check_blob(parts->type, blob, reason);
}

}  // namespace vesk::keys
