// authorized-keys: sshd's AuthorizedKeysCommand for the keys map.
//
//   authorized-keys [--map FILE] USER UID
//
// Prints, in authorized_keys format, the keys the keys map (default
// /etc/sshkeys.vesk) holds for USER with uid UID, as sshd hands them over
// with "%u %U".  A line whose uid is not UID is not printed: a key belongs
// to the account it was installed for, not to whatever account has that
// name at login (a local account made later, say).  Nothing is printed
// until the answer is complete.
//
// Exit status: 0 with the keys printed, or nothing printed for a user the
// map does not hold (or no map at all); 1 when the map can't be read; 2 on
// a usage error.  Messages go to stderr, which sshd logs.
//
// The program runs at every key login while sshd waits, so it stays small:
// it links only libc and the module's search (statically where the build
// allows), opens two files, writes nothing and reaches no network.
#include <errno.h>
#include <getopt.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "keys/keys_lookup.h"

namespace {

int usage(const char *text) {
  fprintf(stderr, "vesk-index: authorized-keys: %s\nusage: authorized-keys [--map FILE] USER UID\n", text);
  return 2;
}

}  // namespace

int main(int argc, char **argv) {
  const char *map = "/etc/sshkeys.vesk";
  static const struct option options[] = {
      {"map", required_argument, nullptr, 'm'}, {nullptr, 0, nullptr, 0}};
  int c;
  while ((c = getopt_long(argc, argv, "", options, nullptr)) != -1) {
    if (c != 'm') return usage("unknown option");
    map = optarg;
  }
  if (argc - optind != 2) return usage("expects a user name and a uid");
  const char *user = argv[optind], *uid_text = argv[optind + 1];
  char *end;
  errno = 0;
  unsigned long uid = strtoul(uid_text, &end, 10);
  if (*uid_text < '0' || *uid_text > '9' || *end != '\0' || errno != 0 || uid > UINT32_MAX)
    return usage("the uid is not a decimal number");

  vesk::keys::KeysAnswer out;
  if (vesk::keys::lookup_keys(map, user, static_cast<uint32_t>(uid), &out) != 0) {
    fprintf(stderr, "vesk-index: authorized-keys: %s: %s\n", map, strerror(errno));
    return 1;
  }
  if (out.len > 0 && (fwrite(out.data, 1, out.len, stdout) != out.len || fflush(stdout) != 0)) {
    fprintf(stderr, "vesk-index: authorized-keys: can't write the keys: %s\n", strerror(errno));
    return 1;
  }
  return 0;
}
