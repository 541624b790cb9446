// vesk-index: the command line.
#include <getopt.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "cli/cli.h"
#include "core/index_tool.h"
#include "nss_vesk.h"
#include "config/state.h"
#include "commands/status.h"

#ifndef VESK_VERSION
#define VESK_VERSION "unknown"
#endif

namespace vesk::tool {

namespace {

const char kUsage[] =
    "Usage: vesk-index build [--passwd MAP] [--group MAP] [--keys MAP] [--strict]\n"
    "                        [--no-wait]\n"
    "       vesk-index check [--passwd MAP] [--group MAP] [--keys MAP]\n"
    "       vesk-index install [--passwd MAP] [--group MAP] [--keys MAP] [--new-passwd FILE]\n"
    "                          [--new-group FILE] [--new-keys FILE] [--max-drop PERCENT] [--force]\n"
    "                          [--strict] [--dry-run] [--no-wait] [--follow-symlinks]\n"
    "       vesk-index status [--passwd MAP] [--group MAP] [--keys MAP] [--state-dir DIR]\n"
    "                         [--max-age AGE] [--format text|json|prometheus]\n"
    "       vesk-index sync ...  (vesk-index-sync)\n"
    "       vesk-index publish DIR ... | fetch [URL] ...  (vesk-index-fetch)\n"
    "       vesk-index --help | --version\n"
    "Every command also takes [--config FILE] [--min-uid N] [--min-gid N]\n"
    "[--allow-gid GID]... [--help] [--version]\n";

const char kHelp[] =
    "\n"
    "Builds and checks the sorted index files that the vesk name-service module\n"
    "uses for lookups by name and by id: MAP.ixname and MAP.ixuid beside the\n"
    "passwd map, MAP.ixname and MAP.ixgid beside the group map, and puts new\n"
    "maps in place together with their indexes.\n"
    "\n"
    "  build    read each map once and replace its indexes safely (a temporary\n"
    "           file beside each index, flushed to disk, renamed over it)\n"
    "  check    verify the existing indexes and say what lookups would do\n"
    "  install  check a new map, compare it with the current one, and put it\n"
    "           in place with fresh indexes (by default each MAP.new that\n"
    "           exists; it is removed once installed)\n"
    "  status   the maps' records, size and age, whether their indexes are usable,\n"
    "           the generation installed and the last fetch or sync; exit 1 when\n"
    "           stale or unusable\n"
    "\n"
    "  --passwd MAP        the passwd map (default " NSS_VESK_PASSWD_MAP ")\n"
    "  --group MAP         the group map (default " NSS_VESK_GROUP_MAP ")\n"
    "  --keys MAP          the keys map of SSH public keys (default: sshkeys.vesk\n"
    "                      beside the passwd map, " NSS_VESK_KEYS_MAP ")\n"
    "  --new-passwd FILE   install: the new passwd map (only the maps named\n"
    "  --new-group FILE    are installed)\n"
    "  --new-keys FILE     install: the new keys map\n"
    "  --max-drop PERCENT  install: refuse a map that removes more than this share\n"
    "                      of the current map's records (default 50); a group\n"
    "                      losing more than this share of its members counts\n"
    "                      as removed\n"
    "  --force             install: install despite --max-drop or an empty map\n"
    "  --strict            build, install: change nothing if a map has problems\n"
    "  --dry-run           install: make every check and print the summary only\n"
    "  --no-wait           build, install: fail at once if another run is updating\n"
    "  --follow-symlinks   install: install what a staged symbolic link points to\n"
    "  --config FILE       the configuration (default /etc/vesk-index.conf)\n"
    "  --min-uid N         the lowest uid and gid a map may serve (default:\n"
    "  --min-gid N         UID_MIN and GID_MIN of /etc/login.defs, else 1000)\n"
    "  --allow-gid GID     a reserved or local gid users may have as primary group\n"
    "  --state-dir DIR     status: the state of fetch and sync (default\n"
    "                      /var/lib/vesk-index)\n"
    "  --max-age AGE       status: stale past this (default [fetch] max_age, 7d)\n"
    "  --format FORMAT     status: text, json or prometheus (default text)\n"
    "  --help              show this help\n"
    "  --version           show the version\n"
    "\n"
    "Exit status: 0 all well; 1 build: problems found in a map (indexes still\n"
    "written unless --strict), install: the new maps refused (nothing installed),\n"
    "check: an index unusable or incomplete, or problems in a map; 2 usage,\n"
    "configuration or I/O error, a map changed while it was read, or another run\n"
    "is updating (--no-wait); 3 install: installed, with problems reported.\n";

// The command named in messages ("" before one is known).
std::string command_name;

int usage_error(const std::string &text) {
  return cli::usage_error(command_name, text, kUsage);
}

enum Option {
  kPasswd = cli::kOptPasswd,
  kGroup = cli::kOptGroup,
  kHelpOption = cli::kOptHelp,
  kConfig = cli::kOptConfig,
  kMinUid = cli::kOptMinUid,
  kMinGid = cli::kOptMinGid,
  kAllowGid = cli::kOptAllowGid,
  kVersionOption = cli::kOptVersion,
  kStrict = 256,
  kNoWait,
  kNewPasswd,
  kNewGroup,
  kMaxDrop,
  kForce,
  kDryRun,
  kFollowSymlinks,
  kStateDir,
  kMaxAge,
  kFormat,
  kKeys,
  kNewKeys,
};

const struct option kOptions[] = {
    {"passwd", required_argument, nullptr, kPasswd},
    {"group", required_argument, nullptr, kGroup},
    {"help", no_argument, nullptr, kHelpOption},
    {"version", no_argument, nullptr, kVersionOption},
    {"strict", no_argument, nullptr, kStrict},
    {"no-wait", no_argument, nullptr, kNoWait},
    {"new-passwd", required_argument, nullptr, kNewPasswd},
    {"new-group", required_argument, nullptr, kNewGroup},
    {"max-drop", required_argument, nullptr, kMaxDrop},
    {"force", no_argument, nullptr, kForce},
    {"dry-run", no_argument, nullptr, kDryRun},
    {"config", required_argument, nullptr, kConfig},
    {"min-uid", required_argument, nullptr, kMinUid},
    {"min-gid", required_argument, nullptr, kMinGid},
    {"allow-gid", required_argument, nullptr, kAllowGid},
    {"follow-symlinks", no_argument, nullptr, kFollowSymlinks},
    {"state-dir", required_argument, nullptr, kStateDir},
    {"max-age", required_argument, nullptr, kMaxAge},
    {"format", required_argument, nullptr, kFormat},
    {"keys", required_argument, nullptr, kKeys},
    {"new-keys", required_argument, nullptr, kNewKeys},
    {nullptr, 0, nullptr, 0},
};

// Which options each command takes.
bool applies(const std::string &command, int option) {
  switch (option) {
    case kPasswd:
    case kGroup:
    case kKeys:
    case kHelpOption:
    case kVersionOption:
    case kConfig:
    case kMinUid:
    case kMinGid:
    case kAllowGid: return true;
    case kStateDir:
    case kMaxAge:
    case kFormat: return command == "status";
    case kStrict:
    case kNoWait: return command != "check" && command != "status";
    default: return command == "install";
  }
}

const char *option_name(int option) {
  for (const struct option *o = kOptions; o->name != nullptr; ++o)
    if (o->val == option) return o->name;
  return "?";
}

// Commands that reach a directory or the network are programs of their own,
// so that the tool every host runs links no directory, network or crypto
// library: "sync" runs vesk-index-sync, "publish" and "fetch" run
// vesk-index-fetch, each with the command and its options.  They are looked
// for beside this program first (a build tree), then in the library
// directory they are installed in.
int run_program(const std::string &command, int argc, char **argv) {
  std::string program = command == "sync" ? "vesk-index-sync" : "vesk-index-fetch";
  std::string self(4096, '\0');
  ssize_t n = readlink("/proc/self/exe", self.data(), self.size() - 1);
  std::vector<std::string> candidates;
  if (n > 0) {
    self.resize(static_cast<size_t>(n));
    candidates.push_back(directory_of(self) + "/" + program);
  }
#ifdef VESK_LIBEXEC_DIR
  candidates.push_back(std::string(VESK_LIBEXEC_DIR) + "/" + program);
#endif
  std::vector<char *> args(argv, argv + argc);
  args.push_back(nullptr);
  for (const std::string &path : candidates) {
    if (access(path.c_str(), X_OK) != 0) continue;
    args[0] = const_cast<char *>(path.c_str());
    fflush(stdout);
    execv(path.c_str(), args.data());
    report(command, "can't run " + path + ": " + strerror(errno));
    return kExitFailure;
  }
  report(command, program + " is not installed (package " + program + ")");
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
  if (command == "sync" || command == "publish" || command == "fetch")
    return run_program(command, argc, argv);
  if (command != "build" && command != "check" && command != "install" && command != "status")
    return usage_error("unknown command: " + command);
  command_name = command;

  InstallOptions o;  // its fields are a superset of the other commands'
  cli::Common common;
  // Options follow the command: parse argv[1..] as a command line of its own.
  opterr = 0;
  optind = 1;
  StatusOptions status;
  status.state_dir = kDefaultStateDir;
  std::string max_age;
  int c;
  while ((c = getopt_long(argc - 1, argv + 1, ":h", kOptions, nullptr)) != -1) {
    if (c == 'h') c = kHelpOption;
    if (c == '?' || c == ':') {
      std::string arg = argv[optind];  // getopt_long has moved past it
      if (c == ':')
        return usage_error(arg + (arg == "--max-drop"                             ? " needs a percentage"
                                  : arg == "--config"                           ? " needs a file"
                                  : arg == "--format"                           ? " needs a format"
                                  : arg == "--state-dir"                        ? " needs a directory"
                                  : arg == "--max-age"                          ? " needs an age"
                                  : arg.find("-uid") != std::string::npos ||
                                          arg.find("-gid") != std::string::npos ? " needs an id"
                                                                                : " needs a map path"));
      return usage_error("unknown option for " + command + ": " + arg);
    }
    if (!applies(command, c))
      return usage_error("unknown option for " + command + ": --" + option_name(c));
    std::string error;
    if (cli::take_common(c, optarg, &common, &error)) {
      if (!error.empty()) return usage_error(error);
      continue;
    }
    std::string value = optarg != nullptr ? optarg : "";
    switch (c) {
      case kStrict: o.strict = true; continue;
      case kNoWait: o.wait = false; continue;
      case kForce: o.force = true; continue;
      case kDryRun: o.dry_run = true; continue;
      case kFollowSymlinks: o.follow_symlinks = true; continue;
      case kStateDir: status.state_dir = value; continue;
      case kMaxAge: max_age = value; continue;
      case kFormat:
        if (value == "text") status.format = StatusFormat::Text;
        else if (value == "json") status.format = StatusFormat::Json;
        else if (value == "prometheus") status.format = StatusFormat::Prometheus;
        else return usage_error("--format: not text, json or prometheus: " + value);
        continue;
      case kMaxDrop:
        if (!cli::parse_percent(optarg, &o.max_drop))
          return usage_error(std::string("--max-drop: not a percentage from 0 to 100: ") + optarg);
        continue;
      default: break;
    }
    if (value.empty()) return usage_error(std::string("--") + option_name(c) + ": empty map path");
    std::string *target = c == kNewPasswd ? &o.new_passwd
                          : c == kKeys    ? &o.keys_map
                          : c == kNewKeys ? &o.new_keys
                                          : &o.new_group;
    *target = value;
  }
  if (common.help) {
    printf("%s%s", kUsage, kHelp);
    return kExitOk;
  }
  if (common.version) return cli::print_version("vesk-index");
  if (optind + 1 < argc) return usage_error(std::string("unexpected argument: ") + argv[optind + 1]);

  // A mistake in the configuration is no mistake of the command line: no
  // usage text.
  Config config;
  std::string error;
  if (!cli::load(common, &config, &o.policy, &error)) {
    cli::say("", error);
    return kExitFailure;
  }
  o.passwd_map = common.passwd_map;
  o.group_map = common.group_map;
  // The keys map lives beside the passwd map unless named.
  if (o.keys_map.empty()) o.keys_map = directory_of(o.passwd_map) + "/" + base_name(NSS_VESK_KEYS_MAP);

  if (command == "build") {
    BuildOptions options;
    options.passwd_map = o.passwd_map;
    options.group_map = o.group_map;
    options.keys_map = o.keys_map;
    options.strict = o.strict;
    options.wait = o.wait;
    options.policy = o.policy;
    return run_build(options);
  }
  if (command == "install") return run_install(o);
  if (command == "status") {
    status.passwd_map = o.passwd_map;
    status.group_map = o.group_map;
    status.keys_map = o.keys_map;
    status.policy = o.policy;
    const ConfigEntry *e = config.find("fetch", "max_age");
    std::string where = "--max-age";
    if (max_age.empty() && e != nullptr) max_age = e->value, where = config.where(*e) + ": max_age";
    if (!max_age.empty() && (!parse_duration(max_age, &status.max_age) || status.max_age < 1)) {
      std::string text = where + ": not an age (seconds, or a number with s, m, h or d)";
      if (where != "--max-age") {  // the configuration's
        cli::say(command, text);
        return kExitFailure;
      }
      return usage_error(text);
    }
    return run_status(status);
  }
  CheckOptions options;
  options.passwd_map = o.passwd_map;
  options.group_map = o.group_map;
  options.keys_map = o.keys_map;
  options.policy = o.policy;
  return run_check(options);
}

}  // namespace vesk::tool

int main(int argc, char **argv) {
  return vesk::cli::guarded(argc > 1 ? argv[1] : "", vesk::tool::tool_main, argc, argv);
}
