// vesk-index: the command line.
#include <signal.h>
#include <stdio.h>
#include <string.h>

#include <string>

#include "index_tool.h"
#include "nss_vesk.h"

#ifndef VESK_VERSION
#define VESK_VERSION "unknown"
#endif

namespace vesk::tool {

namespace {

const char kUsage[] =
    "Usage: vesk-index build [--passwd MAP] [--group MAP] [--strict]\n"
    "       vesk-index check [--passwd MAP] [--group MAP]\n"
    "       vesk-index --help | --version\n";

const char kHelp[] =
    "\n"
    "Builds and checks the sorted index files that the vesk name-service module\n"
    "uses for lookups by name and by id: MAP.ixname and MAP.ixuid beside the\n"
    "passwd map, MAP.ixname and MAP.ixgid beside the group map.\n"
    "\n"
    "  build    read each map once and replace its indexes safely (a temporary\n"
    "           file beside each index, flushed to disk, renamed over it)\n"
    "  check    verify the existing indexes and say what lookups would do\n"
    "\n"
    "  --passwd MAP  the passwd map (default " NSS_VESK_PASSWD_MAP ")\n"
    "  --group MAP   the group map (default " NSS_VESK_GROUP_MAP ")\n"
    "  --strict      build: leave the indexes alone if the map has problems\n"
    "  --help        show this help\n"
    "  --version     show the version\n"
    "\n"
    "Exit status: 0 all well; 1 problems found (build: problems in a map, the\n"
    "indexes are still written unless --strict; check: an index is unusable or\n"
    "incomplete); 2 usage or I/O error, or a map changed while it was read.\n";

int usage_error(const std::string &text) {
  fprintf(stderr, "vesk-index: %s\n%s", text.c_str(), kUsage);
  return kExitFailure;
}

}  // namespace

int tool_main(int argc, char **argv) {
  // A write beyond the file size limit must fail with EFBIG (and the
  // temporary file be removed), not kill the tool with the file left over.
  signal(SIGXFSZ, SIG_IGN);

  if (argc < 2) return usage_error("no command given");
  std::string command = argv[1];
  if (command == "--help" || command == "-h") {
    printf("%s%s", kUsage, kHelp);
    return kExitOk;
  }
  if (command == "--version") {
    printf("vesk-index (nss-vesk) %s\n", VESK_VERSION);
    return kExitOk;
  }
  if (command != "build" && command != "check") return usage_error("unknown command: " + command);

  std::string passwd_map = NSS_VESK_PASSWD_MAP;
  std::string group_map = NSS_VESK_GROUP_MAP;
  bool strict = false;
  for (int i = 2; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      printf("%s%s", kUsage, kHelp);
      return kExitOk;
    }
    if (arg == "--strict" && command == "build") {
      strict = true;
      continue;
    }
    std::string *target = nullptr;
    std::string value;
    for (auto [option, dest] : {std::pair{"--passwd", &passwd_map}, std::pair{"--group", &group_map}}) {
      size_t n = strlen(option);
      if (arg == option) {
        if (i + 1 >= argc) return usage_error(arg + " needs a map path");
        target = dest;
        value = argv[++i];
      } else if (arg.compare(0, n + 1, std::string(option) + "=") == 0) {
        target = dest;
        value = arg.substr(n + 1);
      }
    }
    if (target == nullptr) return usage_error("unknown option for " + command + ": " + arg);
    if (value.empty()) return usage_error(arg + ": empty map path");
    *target = value;
  }

  if (command == "build") {
    BuildOptions options;
    options.passwd_map = passwd_map;
    options.group_map = group_map;
    options.strict = strict;
    return run_build(options);
  }
  CheckOptions options;
  options.passwd_map = passwd_map;
  options.group_map = group_map;
  return run_check(options);
}

}  // namespace vesk::tool

int main(int argc, char **argv) { return vesk::tool::tool_main(argc, argv); }
