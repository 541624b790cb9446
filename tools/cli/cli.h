// What the command lines of vesk-index, vesk-index-sync and vesk-index-fetch
// share: the common options and their parsing, the message format, the
// version, and the handling of a run out of memory.
//
// Messages go to stderr as "vesk-index: COMMAND: TEXT", or
// "vesk-index: FILE:LINE: TEXT" where a line of a file is at fault.  A
// mistake on the command line is followed by the command's usage; an
// error in the configuration file is not (the command line was right).
#pragma once

#include <getopt.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "cli/exit.h"
#include "config/config.h"
#include "core/index_tool.h"

#ifndef VESK_VERSION
#define VESK_VERSION "unknown"
#endif

namespace vesk::cli {

// The options every command that reads the maps or the configuration
// takes, with the values of struct option.val they are parsed under.
enum CommonOption {
  kOptPasswd = 0x1000,
  kOptGroup,
  kOptConfig,
  kOptMinUid,
  kOptMinGid,
  kOptAllowGid,
  kOptHelp,
  kOptVersion,
};

// Their getopt_long entries, to be copied into a program's table.
inline const struct option kCommonOptions[] = {
    {"passwd", required_argument, nullptr, kOptPasswd},
    {"group", required_argument, nullptr, kOptGroup},
    {"config", required_argument, nullptr, kOptConfig},
    {"min-uid", required_argument, nullptr, kOptMinUid},
    {"min-gid", required_argument, nullptr, kOptMinGid},
    {"allow-gid", required_argument, nullptr, kOptAllowGid},
    {"help", no_argument, nullptr, kOptHelp},
    {"version", no_argument, nullptr, kOptVersion},
};

// Their lines in --help, the same in every program.
inline constexpr char kCommonHelp[] =
    "  --passwd MAP        the passwd map (default /etc/passwd.vesk)\n"
    "  --group MAP         the group map (default /etc/group.vesk)\n"
    "  --config FILE       the configuration (default /etc/vesk-index.conf;\n"
    "                      its keys: vesk-index.conf(5))\n"
    "  --min-uid N         the lowest uid and gid a map may serve (default:\n"
    "  --min-gid N         [policy] of the configuration, else UID_MIN and GID_MIN\n"
    "                      of /etc/login.defs, else 1000)\n"
    "  --allow-gid GID     a reserved or local gid users may have as primary group\n"
    "  --help              show this help\n"
    "  --version           show the version\n";

// The values of the common options.
struct Common {
  std::string passwd_map, group_map;
  std::string config_path = tool::kDefaultConfig;
  bool config_named = false;
  bool min_uid_given = false, min_gid_given = false;
  uint32_t min_uid = 0, min_gid = 0;
  std::vector<uint32_t> allow_gid;
  bool help = false, version = false;
  Common();
};

// Takes option `c` with `value` (optarg, or "") if it is a common one:
// true when it was (with *error set when its value is wrong, as
// "--OPTION: TEXT"); false when it is not a common option.
bool take_common(int c, const char *value, Common *common, std::string *error);

// Reads the configuration and the policy (login.defs, then [policy], then
// the options).  False with *error set ("FILE:LINE: TEXT").
bool load(const Common &common, tool::Config *config, tool::Policy *policy, std::string *error);

// A percentage from 0 to 100, with or without '%'.
bool parse_percent(const char *text, double *out);

// "vesk-index: COMMAND: TEXT" (COMMAND empty: "vesk-index: TEXT").
void say(const std::string &command, const std::string &text);
// A mistake on the command line: the message, then `usage`; kExitFailure.
int usage_error(const std::string &command, const std::string &text, const char *usage);
// "PROGRAM (nss-vesk) VERSION" on stdout; kExitOk.
int print_version(const char *program);

// Runs `body` and returns its status; a run out of memory removes its
// temporary files, says "vesk-index: COMMAND: out of memory" and ends with
// kExitFailure, in every program alike.
int guarded(const std::string &command, int (*body)(int, char **), int argc, char **argv);

}  // namespace vesk::cli
