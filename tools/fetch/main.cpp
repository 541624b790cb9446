// vesk-index-fetch: the command lines of "vesk-index publish" and
// "vesk-index fetch", which vesk-index runs as this program with argv
// [path, "publish" | "fetch", options...].
#include <errno.h>
#include <getopt.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <new>
#include <string>

#include "cli/cli.h"
#include "config/config.h"
#include "fetch_tool.h"
#include "manifest.h"
#include "nss_vesk.h"
#include "config/state.h"

namespace vesk::fetch {

namespace {

const char kUsage[] =
    "Usage: vesk-index publish DIR [--passwd MAP] [--group MAP] [--keys MAP] [--key FILE]\n"
    "                          [--deltas N] [--level N] [--channel NAME]\n"
    "                          [--generation N] [--config FILE] [--no-wait]\n"
    "       vesk-index fetch [URL] [--passwd MAP] [--group MAP] [--keys MAP]\n"
    "                        [--public-key FILE]\n"
    "                        [--state-dir DIR] [--timeout SECONDS] [--max-age AGE]\n"
    "                        [--channel NAME] [--force] [--config FILE] [--no-wait]\n"
    "Both also take [--min-uid N] [--min-gid N] [--allow-gid GID]... [--help]\n"
    "[--version].\n";

const char kHelp[] =
    "\n"
    "publish  writes the maps into DIR for a web server to serve: plain, compressed\n"
    "         with zstd, as deltas from the last few generations, and a manifest\n"
    "         of their sizes and SHA-256 hashes signed with the Ed25519 key\n"
    "fetch    installs the maps published at URL (default: [fetch] url) once the\n"
    "         manifest's signature, generation and age are checked and the maps\n"
    "         match its hashes; a manifest not modified since the last run ends it\n"
    "\n"
    "  --passwd MAP        the passwd map (default " NSS_VESK_PASSWD_MAP ")\n"
    "  --group MAP         the group map (default " NSS_VESK_GROUP_MAP ")\n"
    "  --keys MAP          the keys map (default: sshkeys.vesk beside the passwd\n"
    "                      map); publish carries it when it exists, fetch installs\n"
    "                      it when the manifest carries it\n"
    "  --key FILE          publish: the PEM Ed25519 private key ([publish] key_file)\n"
    "  --deltas N          publish: deltas from the last N generations (default 3)\n"
    "  --level N           publish: zstd level, 1 to 22 (default 3)\n"
    "  --generation N      publish: this generation, later than the last published\n"
    "                      (default: the time in milliseconds)\n"
    "  --channel NAME      the fleet the maps are for ([publish] or [fetch] channel,\n"
    "                      default production); fetch refuses another channel's\n"
    "  --public-key FILE   fetch: the export's PEM public keys, a file of one or more\n"
    "                      or a directory of *.pem ([fetch] public_key_file)\n"
    "  --state-dir DIR     fetch: its state (default /var/lib/vesk-index)\n"
    "  --timeout SECONDS   fetch: for each request (default 120)\n"
    "  --max-age AGE       fetch: refuse manifests older than this (default 7d)\n"
    "  --force             fetch: install an older generation or an old manifest;\n"
    "                      install's guards and the content policy still apply\n"
    "  --config FILE       the configuration (default /etc/vesk-index.conf)\n"
    "  --no-wait           fail at once if another run holds the lock\n"
    "  --min-uid N, --min-gid N, --allow-gid GID   the content policy, as install's\n"
    "  --help              show this help\n"
    "  --version           show the version\n"
    "\n"
    "Exit status: 0 done (or nothing to do); 1 maps refused (publish: problems in\n"
    "a map; fetch: the content policy or install's guards); 2 any other failure,\n"
    "nothing changed; 3 fetch: installed, with problems reported.\n";

// The command named in messages ("" before one is known).
std::string command_name;

int usage_error(const std::string &text) {
  return cli::usage_error(command_name, text, kUsage);
}

// A mistake in the configuration file: said without the usage text.
int config_error(const std::string &text) {
  cli::say(command_name, text);
  return kFailure;
}

enum Option {
  kPasswd = cli::kOptPasswd,
  kGroup = cli::kOptGroup,
  kConfig = cli::kOptConfig,
  kMinUid = cli::kOptMinUid,
  kMinGid = cli::kOptMinGid,
  kAllowGid = cli::kOptAllowGid,
  kHelpOption = cli::kOptHelp,
  kVersionOption = cli::kOptVersion,
  kKey = 256,
  kKeys,
  kDeltas,
  kLevel,
  kPublicKey,
  kStateDir,
  kTimeout,
  kMaxAge,
  kForce,
  kChannel,
  kGeneration,
  kNoWait,
};

const struct option kOptions[] = {
    {"passwd", required_argument, nullptr, kPasswd},
    {"group", required_argument, nullptr, kGroup},
    {"keys", required_argument, nullptr, kKeys},
    {"key", required_argument, nullptr, kKey},
    {"deltas", required_argument, nullptr, kDeltas},
    {"level", required_argument, nullptr, kLevel},
    {"public-key", required_argument, nullptr, kPublicKey},
    {"state-dir", required_argument, nullptr, kStateDir},
    {"timeout", required_argument, nullptr, kTimeout},
    {"max-age", required_argument, nullptr, kMaxAge},
    {"force", no_argument, nullptr, kForce},
    {"channel", required_argument, nullptr, kChannel},
    {"generation", required_argument, nullptr, kGeneration},
    {"config", required_argument, nullptr, kConfig},
    {"no-wait", no_argument, nullptr, kNoWait},
    {"help", no_argument, nullptr, kHelpOption},
    {"version", no_argument, nullptr, kVersionOption},
    {"min-uid", required_argument, nullptr, kMinUid},
    {"min-gid", required_argument, nullptr, kMinGid},
    {"allow-gid", required_argument, nullptr, kAllowGid},
    {nullptr, 0, nullptr, 0},
};

bool for_publish(int option) {
  return option == kKey || option == kDeltas || option == kLevel || option == kGeneration;
}
bool for_fetch(int option) {
  return option == kPublicKey || option == kStateDir || option == kTimeout ||
         option == kMaxAge || option == kForce;
}

// "4294967296", "4096M", "4G": bytes, the suffixes powers of 1024.
bool parse_size(const std::string &text, uint64_t *out) {
  std::string digits = text;
  unsigned shift = 0;
  if (!digits.empty()) {
    char unit = digits.back();
    shift = unit == 'K' || unit == 'k' ? 10 : unit == 'M' ? 20 : unit == 'G' ? 30 : 0;
    if (shift != 0) digits.pop_back();
  }
  uint64_t n;
  if (!tool::parse_uint(digits, UINT64_MAX >> 30, &n)) return false;
  *out = n << shift;
  return true;
}

// A configured value: the command line's if given, else the file's.
struct Setting {
  std::string value;
  bool given = false;
};

int main_program(int argc, char **argv) {
  signal(SIGXFSZ, SIG_IGN);
  if (argc < 2) return usage_error("no command given");
  std::string command = argv[1];
  if (command != "publish" && command != "fetch") return usage_error("unknown command: " + command);
  command_name = command;
  cli::Common common;
  std::string state_dir = tool::kDefaultStateDir, keys;
  bool force = false, wait = true;
  Setting key, deltas, level, public_key, timeout, max_age, channel, generation;
  opterr = 0;
  optind = 1;
  int c;
  while ((c = getopt_long(argc - 1, argv + 1, ":h", kOptions, nullptr)) != -1) {
    if (c == '?' || c == ':') {
      std::string arg = argv[optind];
      return usage_error(c == ':' ? arg + " needs a value"
                                  : "unknown option for " + command + ": " + arg);
    }
    if (c == 'h') c = kHelpOption;
    if ((for_publish(c) && command != "publish") || (for_fetch(c) && command != "fetch"))
      for (const struct option *k = kOptions; k->name != nullptr; ++k)
        if (k->val == c) return usage_error("unknown option for " + command + ": --" + k->name);
    std::string error;
    if (cli::take_common(c, optarg, &common, &error)) {
      if (!error.empty()) return usage_error(error);
      continue;
    }
    std::string value = optarg != nullptr ? optarg : "";
    if (optarg != nullptr && value.empty()) return usage_error("an option's value is empty");
    switch (c) {
      case kKey: key = {value, true}; break;
      case kKeys: keys = value; break;
      case kDeltas: deltas = {value, true}; break;
      case kLevel: level = {value, true}; break;
      case kPublicKey: public_key = {value, true}; break;
      case kStateDir: state_dir = value; break;
      case kTimeout: timeout = {value, true}; break;
      case kMaxAge: max_age = {value, true}; break;
      case kForce: force = true; break;
      case kChannel: channel = {value, true}; break;
      case kGeneration: generation = {value, true}; break;
      case kNoWait: wait = false; break;
    }
  }
  if (common.help) {
    printf("%s%s", kUsage, kHelp);
    return kOk;
  }
  if (common.version) return cli::print_version("vesk-index-fetch");
  std::string passwd = common.passwd_map, group = common.group_map;
  const std::string &config_path = common.config_path;
  std::vector<std::string> operands(argv + 1 + optind, argv + argc);
  bool keys_named = !keys.empty();
  if (!keys_named) keys = tool::directory_of(passwd) + "/" + tool::base_name(NSS_VESK_KEYS_MAP);

  tool::Config config;
  tool::Policy policy;
  std::string error;
  if (!cli::load(common, &config, &policy, &error)) {
    cli::say("", error);
    return kFailure;
  }
  // Fills a setting from [section] key unless the command line gave it;
  // `where` names the origin for messages.
  std::string where;
  auto take = [&](Setting *s, const char *section, const char *k, const char *option) {
    if (s->given) {
      where = std::string("--") + option;
    } else if (const tool::ConfigEntry *e = config.find(section, k)) {
      s->value = e->value;
      where = config.where(*e) + ": " + k;
    }
  };
  auto bad = [&](const std::string &what) {
    return where.compare(0, 2, "--") == 0 ? usage_error(where + ": not " + what)
                                          : config_error(where + ": not " + what);
  };

  std::string section = command;
  take(&channel, section.c_str(), "channel", "channel");
  if (!channel.value.empty() && !valid_channel(channel.value))
    return bad("a channel (1 to 64 of a-z, 0-9, '.', '_', '-')");
  if (channel.value.empty()) channel.value = kDefaultChannel;

  if (command == "publish") {
    if (operands.size() != 1)
      return usage_error(operands.empty() ? "publish: no directory given"
                                          : "unexpected argument: " + operands[1]);
    PublishOptions o;
    o.dir = operands[0];
    o.passwd_map = passwd;
    o.group_map = group;
    // The keys map is published when there is one; named, it must be there.
    struct stat st;
    if (stat(keys.c_str(), &st) == 0) {
      o.keys_map = keys;
    } else if (errno != ENOENT || keys_named) {
      cli::say(command, keys + ": " + strerror(errno) + "; nothing published");
      return kFailure;
    }
    o.wait = wait;
    take(&key, "publish", "key_file", "key");
    if (key.value.empty()) return usage_error("publish: no key (--key or [publish] key_file)");
    o.key_file = key.value;
    take(&deltas, "publish", "deltas", "deltas");
    uint64_t n;
    if (!deltas.value.empty()) {
      if (!tool::parse_uint(deltas.value, 100, &n)) return bad("a number of generations (0 to 100)");
      o.deltas = static_cast<unsigned>(n);
    }
    take(&level, "publish", "level", "level");
    if (!level.value.empty()) {
      if (!tool::parse_uint(level.value, 22, &n) || n == 0) return bad("a zstd level (1 to 22)");
      o.level = static_cast<int>(n);
    }
    if (generation.given &&
        (!tool::parse_uint(generation.value, UINT64_MAX / 2, &o.generation) || o.generation == 0))
      return usage_error("--generation: not a generation (a number from 1)");
    o.channel = channel.value;
    o.policy = policy;
    return run_publish(o);
  }

  if (operands.size() > 1) return usage_error("unexpected argument: " + operands[1]);
  FetchOptions o;
  Setting url;
  if (!operands.empty()) url = {operands[0], true};
  take(&url, "fetch", "url", "url");
  if (url.value.empty()) {
    printf("vesk-index fetch: no URL configured ([fetch] url in %s); nothing to do\n",
           config_path.c_str());
    return kOk;
  }
  if (url.value.compare(0, 7, "http://") != 0 && url.value.compare(0, 8, "https://") != 0)
    return bad("an http:// or https:// URL");
  o.url = url.value;
  take(&public_key, "fetch", "public_key_file", "public-key");
  if (public_key.value.empty())
    return usage_error("fetch: no public key (--public-key or [fetch] public_key_file)");
  o.public_key_file = public_key.value;
  if (const tool::ConfigEntry *e = config.find("fetch", "tls_ca_file")) o.tls_ca_file = e->value;
  int64_t seconds;
  take(&timeout, "fetch", "timeout", "timeout");
  if (!timeout.value.empty()) {
    if (!tool::parse_duration(timeout.value, &seconds) || seconds < 1 || seconds > 86400)
      return bad("a timeout (1 second to 1 day)");
    o.timeout = static_cast<long>(seconds);
  }
  take(&max_age, "fetch", "max_age", "max-age");
  if (!max_age.value.empty()) {
    if (!tool::parse_duration(max_age.value, &seconds) || seconds < 1)
      return bad("an age (seconds, or a number with s, m, h or d)");
    o.max_age = seconds;
  }
  if (const tool::ConfigEntry *e = config.find("fetch", "max_clock_skew")) {
    where = config.where(*e) + ": max_clock_skew";
    if (!tool::parse_duration(e->value, &seconds) || seconds < 0 || seconds > 86400)
      return bad("a clock skew (0 to 1 day)");
    o.max_skew = seconds;
  }
  if (const tool::ConfigEntry *e = config.find("fetch", "max_map_size")) {
    where = config.where(*e) + ": max_map_size";
    if (!parse_size(e->value, &o.max_size) || o.max_size < 1024)
      return bad("a size (bytes, or a number with K, M or G; at least 1K)");
  }
  o.channel = channel.value;
  o.state_dir = state_dir;
  o.force = force;
  o.install.passwd_map = passwd;
  o.install.group_map = group;
  o.install.keys_map = keys;
  o.install.wait = wait;
  o.install.policy = policy;
  return run_fetch(o);
}

}  // namespace

}  // namespace vesk::fetch

int main(int argc, char **argv) {
  return vesk::cli::guarded(argc > 1 ? argv[1] : "", vesk::fetch::main_program, argc, argv);
}
