// vesk-bench-gen DIR USERS KEYS SEED [--indexes]
//
// Writes DIR/passwd.vesk and DIR/group.vesk for USERS users (USERS/10
// groups, five members each), DIR/keys.tsv with KEYS random lookups drawn
// with SEED (one line each: user, uid, the user's primary gid, group, gid),
// and with --indexes the four index files beside the maps.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "bench_data.h"

int main(int argc, char **argv) {
  if (argc < 5 || argc > 6 || (argc == 6 && strcmp(argv[5], "--indexes") != 0)) {
    fprintf(stderr, "usage: %s DIR USERS KEYS SEED [--indexes]\n", argv[0]);
    return 2;
  }
  std::string dir = argv[1];
  size_t users = strtoull(argv[2], nullptr, 10);
  size_t count = strtoull(argv[3], nullptr, 10);
  uint64_t seed = strtoull(argv[4], nullptr, 10);
  if (users == 0) {
    fprintf(stderr, "%s: USERS must be positive\n", argv[0]);
    return 2;
  }
  if (!vesk_bench::write_maps(dir, users)) {
    perror("writing the maps");
    return 1;
  }
  if (argc == 6 && (!vesk_bench::write_indexes(dir + "/passwd.vesk", false) ||
                    !vesk_bench::write_indexes(dir + "/group.vesk", true))) {
    perror("writing the indexes");
    return 1;
  }
  std::string keys;
  for (const auto &k : vesk_bench::random_keys(users, count, seed)) {
    keys += k.user + '\t' + std::to_string(k.uid) + '\t' + std::to_string(k.user_gid) + '\t' +
            k.group + '\t' + std::to_string(k.gid) + '\n';
  }
  if (!vesk_bench::write_file(dir + "/keys.tsv", keys)) {
    perror("writing the keys");
    return 1;
  }
  return 0;
}
