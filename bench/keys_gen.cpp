// vesk-bench-keys-gen MAP USERS KEYS: writes a keys map of USERS users
// ("u0000001", uid 100001, ...) with KEYS ed25519 keys each (random, seed
// fixed) and its index, through the tool's own judge and index writer.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <string>

#include "keys/keys_map.h"

namespace {

void put_string(std::string *blob, std::string_view s) {
  uint32_t n = static_cast<uint32_t>(s.size());
  for (int shift = 24; shift >= 0; shift -= 8) blob->push_back(static_cast<char>(n >> shift));
  blob->append(s);
}

std::string base64(const std::string &in) {
  static const char abc[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    uint32_t v = (uint32_t{static_cast<unsigned char>(in[i])} << 16) |
                 (uint32_t{static_cast<unsigned char>(in[i + 1])} << 8) |
                 static_cast<unsigned char>(in[i + 2]);
    for (int s = 18; s >= 0; s -= 6) out += abc[(v >> s) & 63];
  }
  if (i < in.size()) {
    uint32_t v = uint32_t{static_cast<unsigned char>(in[i])} << 16;
    if (i + 1 < in.size()) v |= uint32_t{static_cast<unsigned char>(in[i + 1])} << 8;
    out += abc[(v >> 18) & 63];
    out += abc[(v >> 12) & 63];
    out += i + 1 < in.size() ? abc[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: vesk-bench-keys-gen MAP USERS KEYS\n");
    return 2;
  }
  std::string map = argv[1];
  unsigned long users = strtoul(argv[2], nullptr, 10), keys = strtoul(argv[3], nullptr, 10);
  uint64_t seed = 0x9e3779b97f4a7c15ull;
  std::string text;
  char head[64];
  for (unsigned long u = 1; u <= users; ++u) {
    for (unsigned long k = 0; k < keys; ++k) {
      std::string blob, pk(32, '\0');
      for (char &c : pk) {
        seed ^= seed << 13, seed ^= seed >> 7, seed ^= seed << 17;
        c = static_cast<char>(seed);
      }
      put_string(&blob, "ssh-ed25519");
      put_string(&blob, pk);
      snprintf(head, sizeof head, "u%07lu:%lu:", u, 100000 + u);
      text += head;
      text += "ssh-ed25519 " + base64(blob) + " ";
      text += std::string(head + 1, 7) + "-" + std::to_string(k) + "@bench\n";
    }
  }
  FILE *f = fopen(map.c_str(), "w");
  if (f == nullptr || fwrite(text.data(), 1, text.size(), f) != text.size() || fclose(f) != 0) {
    perror(map.c_str());
    return 1;
  }
  vesk::keys::KeysScan scan;
  vesk::keys::scan_keys(text.data(), text.size(), {}, &scan);
  if (!scan.problems.empty()) {
    fprintf(stderr, "line %llu: %s\n", static_cast<unsigned long long>(scan.problems[0].line),
            scan.problems[0].text.c_str());
    return 1;
  }
  struct stat st;
  stat(map.c_str(), &st);
  vesk::tool::PendingIndex index;
  std::vector<vesk::tool::PendingIndex> pending;
  std::string error;
  if (!vesk::keys::write_keys_index(scan, map, st.st_mtim, &index, &error) ||
      (pending.push_back(index), !vesk::tool::commit(&pending, &error))) {
    fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  return 0;
}
