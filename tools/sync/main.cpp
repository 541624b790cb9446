// vesk-index-sync: "vesk-index sync" runs it with argv = [path, "sync",
// options...].  Reads the whole directory first; only then writes the maps,
// as temporary files beside the current ones, and hands them to the
// install path, or leaves them staged as MAP.new (--stage-only).
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "cli/cli.h"
#include "core/index_tool.h"
#include "map/files.h"
#include "nss_vesk.h"
#include "config/state.h"
#include "sync.h"

#ifndef VESK_VERSION
#define VESK_VERSION "unknown"
#endif

namespace vesk::sync {

namespace {

// Exit statuses: vesk-index install's, which the sync passes on.
enum {
  kInstalled = tool::kExitOk,
  kRefused = tool::kExitRefused,
  kError = tool::kExitFailure,
  kWithProblems = tool::kExitInstalledWithProblems,
};

const char kUsage[] =
    "Usage: vesk-index sync [--passwd MAP] [--group MAP] [--keys MAP] [--config FILE]\n"
    "                       [--dry-run | --stage-only] [--max-drop PERCENT] [--force]\n"
    "                       [--strict] [--no-wait] [--min-uid ID] [--min-gid ID]\n"
    "                       [--allow-gid ID]... [--bind-password-file FILE]\n"
    "                       [--keytab FILE] [--state-dir DIR] [--help] [--version]\n";

const char kHelp[] =
    "\n"
    "Reads users and groups from the LDAP directory of the [ldap] section of\n"
    "the configuration, writes both maps from them (users by uid then name,\n"
    "groups by gid then name, members sorted) and installs them as\n"
    "vesk-index install does.  Nothing is written unless every search ends in\n"
    "success.\n"
    "\n"
    "  --passwd MAP               the passwd map (default " NSS_VESK_PASSWD_MAP ")\n"
    "  --group MAP                the group map (default " NSS_VESK_GROUP_MAP ")\n"
    "  --keys MAP                 the keys map, written with [ldap] ssh_keys = yes\n"
    "                             (default: sshkeys.vesk beside the passwd map)\n"
    "  --config FILE              the configuration (default /etc/vesk-index.conf)\n"
    "  --dry-run                  read and check everything, print the summary,\n"
    "                             change nothing\n"
    "  --stage-only               leave the maps as MAP.new beside the maps\n"
    "  --max-drop PERCENT         refuse a map that removes more than this share\n"
    "                             of the current map's records (default 50); a\n"
    "                             group losing more than this share of its\n"
    "                             members counts as removed\n"
    "  --force                    install despite --max-drop or an empty map\n"
    "  --strict                   change nothing if an entry was left out\n"
    "  --no-wait                  fail at once if another run is updating\n"
    "  --min-uid ID, --min-gid ID, --allow-gid ID   the content policy, as install's\n"
    "  --bind-password-file FILE  the bind password, instead of bind_password_file\n"
    "  --keytab FILE              the keytab of bind = sasl_gssapi, instead of keytab\n"
    "  --state-dir DIR            where the run is recorded for vesk-index status\n"
    "                             (default /var/lib/vesk-index)\n"
    "\n"
    "Exit status: 0 installed (or unchanged); 1 refused, nothing installed;\n"
    "2 directory, configuration or I/O error, nothing staged or installed;\n"
    "3 installed, with problems reported (entries left out).\n";

int usage_error(const std::string &text) { return cli::usage_error("sync", text, kUsage); }

enum Option {
  kPasswd = cli::kOptPasswd,
  kGroup = cli::kOptGroup,
  kConfigOption = cli::kOptConfig,
  kMinUid = cli::kOptMinUid,
  kMinGid = cli::kOptMinGid,
  kAllowGid = cli::kOptAllowGid,
  kHelpOption = cli::kOptHelp,
  kVersion = cli::kOptVersion,
  kKeys = 256,
  kDryRun,
  kStageOnly,
  kMaxDrop,
  kForce,
  kStrict,
  kNoWait,
  kPasswordFile,
  kKeytab,
  kStateDir,
};

const struct option kOptions[] = {
    {"passwd", required_argument, nullptr, kPasswd},
    {"group", required_argument, nullptr, kGroup},
    {"keys", required_argument, nullptr, kKeys},
    {"config", required_argument, nullptr, kConfigOption},
    {"dry-run", no_argument, nullptr, kDryRun},
    {"stage-only", no_argument, nullptr, kStageOnly},
    {"max-drop", required_argument, nullptr, kMaxDrop},
    {"force", no_argument, nullptr, kForce},
    {"strict", no_argument, nullptr, kStrict},
    {"no-wait", no_argument, nullptr, kNoWait},
    {"min-uid", required_argument, nullptr, kMinUid},
    {"min-gid", required_argument, nullptr, kMinGid},
    {"allow-gid", required_argument, nullptr, kAllowGid},
    {"bind-password-file", required_argument, nullptr, kPasswordFile},
    {"keytab", required_argument, nullptr, kKeytab},
    {"state-dir", required_argument, nullptr, kStateDir},
    {"help", no_argument, nullptr, kHelpOption},
    {"version", no_argument, nullptr, kVersion},
    {nullptr, 0, nullptr, 0},
};

// A map written by the sync, as a temporary file beside the map.  Its name
// is not one install takes for a killed run's leftovers.
struct Written {
  std::string map;
  std::string temp;
  bool same = false;  // byte for byte the current map
};

// Compared through a buffer, not mapped: a mapping would count both maps
// in the sync's memory.
bool same_content(const std::string &a, const std::string &b) {
  struct stat sa, sb;
  Fd fa(open_regular(a.c_str(), &sa)), fb(open_regular(b.c_str(), &sb));
  if (fa.fd < 0 || fb.fd < 0 || sa.st_size != sb.st_size) return false;
  std::vector<char> ba(1 << 20), bb(1 << 20);
  for (off_t at = 0; at < sa.st_size;) {
    ssize_t na = pread(fa.fd, ba.data(), ba.size(), at);
    if (na <= 0) return false;
    for (ssize_t done = 0; done < na;) {
      ssize_t nb = pread(fb.fd, bb.data() + done, static_cast<size_t>(na - done), at + done);
      if (nb <= 0) return false;
      done += nb;
    }
    if (memcmp(ba.data(), bb.data(), static_cast<size_t>(na)) != 0) return false;
    at += na;
  }
  return true;
}

template <typename Fill>
bool write_map(Written *w, Fill fill, std::string *error) {
  Fd fd(tool::create_temp(w->map + ".sync", &w->temp));
  if (fd.fd < 0) {
    *error = "can't create a temporary file beside " + w->map + ": " + strerror(errno);
    return false;
  }
  std::string why;
  if (!fill(fd.fd, &why) || fchmod(fd.fd, 0644) != 0) {
    *error = w->temp + ": " + (why.empty() ? strerror(errno) : why);
    return false;
  }
  return true;
}

// --stage-only: MAP.new, on disk before and after its rename.
bool stage(Written *w, std::string *error) {
  Fd fd(open(w->temp.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (fd.fd < 0 || fsync(fd.fd) != 0 || rename(w->temp.c_str(), (w->map + ".new").c_str()) != 0) {
    *error = w->map + ".new: " + strerror(errno);
    return false;
  }
  tool::forget_temp(w->temp);
  w->temp.clear();
  return tool::sync_directory(tool::directory_of(w->map), error);
}

// What a run leaves for `vesk-index status`: set once the options are
// read (a usage error or a dry run records nothing).
struct Outcome {
  bool record = false;
  std::string state_dir = tool::kDefaultStateDir;
};

int sync_maps(int argc, char **argv, Outcome *outcome) {
  tool::InstallOptions o;
  cli::Common common;
  std::string password_file, keytab;
  bool stage_only = false;
  // "vesk-index sync ..." passes the command; the options follow it.
  int skip = argc > 1 && strcmp(argv[1], "sync") == 0 ? 1 : 0;
  opterr = 0;
  optind = 1;
  int c;
  while ((c = getopt_long(argc - skip, argv + skip, ":", kOptions, nullptr)) != -1) {
    if (c == '?' || c == ':') {
      std::string arg = argv[skip + optind - 1];
      return usage_error(c == ':' ? arg + " needs a value" : "unknown option: " + arg);
    }
    std::string error;
    if (cli::take_common(c, optarg, &common, &error)) {
      if (!error.empty()) return usage_error(error);
      continue;
    }
    std::string value = optarg != nullptr ? optarg : "";
    switch (c) {
      case kDryRun: o.dry_run = true; break;
      case kStageOnly: stage_only = true; break;
      case kForce: o.force = true; break;
      case kStrict: o.strict = true; break;
      case kNoWait: o.wait = false; break;
      case kMaxDrop:
        if (!cli::parse_percent(optarg, &o.max_drop))
          return usage_error("--max-drop: not a percentage from 0 to 100: " + value);
        break;
      default:
        if (value.empty()) return usage_error("an option's value is empty");
        if (c == kKeys) o.keys_map = value;
        if (c == kPasswordFile) password_file = value;
        if (c == kKeytab) keytab = value;
        if (c == kStateDir) outcome->state_dir = value;
    }
  }
  if (common.help) {
    printf("%s%s", kUsage, kHelp);
    return kInstalled;
  }
  if (common.version) return cli::print_version("vesk-index-sync");
  if (skip + optind < argc) return usage_error(std::string("unexpected argument: ") + argv[skip + optind]);
  if (o.dry_run && stage_only) return usage_error("--dry-run and --stage-only exclude each other");
  outcome->record = !o.dry_run;

  tool::Config config;
  Settings settings;
  std::string error, password;
  if (!cli::load(common, &config, &o.policy, &error) || !load_settings(config, &settings, &error)) {
    tool::report("sync", error);
    return kError;
  }
  o.passwd_map = common.passwd_map;
  o.group_map = common.group_map;
  if (o.keys_map.empty())
    o.keys_map = tool::directory_of(o.passwd_map) + "/" + tool::base_name(NSS_VESK_KEYS_MAP);
  if (!keytab.empty()) {
    if (settings.bind != Bind::SaslGssapi) return usage_error("--keytab is only for bind = sasl_gssapi");
    settings.keytab = keytab;
  }
  if (settings.bind == Bind::SaslGssapi && settings.keytab.empty()) {
    tool::report("sync", "bind = sasl_gssapi needs keytab (or --keytab)");
    return kError;
  }
  if (!password_file.empty()) {
    if (settings.bind != Bind::Simple)
      return usage_error("--bind-password-file is only for bind = simple");
    settings.bind_password_file = password_file;
  }
  if (settings.bind == Bind::Simple) {
    if (settings.bind_password_file.empty()) {
      tool::report("sync", "bind = simple needs bind_password_file (or --bind-password-file)");
      return kError;
    }
    if (!read_password(settings.bind_password_file, &password, &error)) {
      tool::report("sync", error);
      return kError;
    }
  }

  Tally tally;
  MapBuilder builder(settings, &tally);
  std::string server;
  if (!read_directory(settings, password, &builder, &tally, &server, &error)) {
    tool::report(printable(server), error + "; nothing staged or installed");
    return kError;
  }
  password.assign(password.size(), '\0');

  // The keys map is the third, written only with ssh_keys.
  std::vector<Written> maps = {{o.passwd_map, {}}, {o.group_map, {}}};
  if (settings.ssh_keys) maps.push_back({o.keys_map, {}});
  if (!write_map(&maps[0], [&](int fd, std::string *e) { return builder.write_passwd(fd, e); },
                 &error) ||
      !write_map(&maps[1], [&](int fd, std::string *e) { return builder.write_group(fd, e); },
                 &error) ||
      (settings.ssh_keys &&
       !write_map(&maps[2], [&](int fd, std::string *e) { return builder.write_keys(fd, e); },
                  &error))) {
    tool::report("sync", error + "; nothing staged or installed");
    for (Written &w : maps) tool::drop_temp(&w.temp);
    return kError;
  }
  builder.clear();  // install's own reading needs the memory
  size_t problems = tally.left_out + tally.noted + tally.keys_left_out;
  printf("%s: %zu users, %zu groups read; %zu entries left out, %zu with a reported choice, "
         "%zu members dropped (not exported users)",
         printable(server).c_str(), tally.users, tally.groups, tally.left_out, tally.noted,
         tally.dropped_members);
  if (settings.exclude_disabled) printf("; %zu disabled accounts left out", tally.disabled);
  if (settings.ssh_keys) printf("; %zu keys, %zu left out", tally.keys, tally.keys_left_out);
  printf("\n");
  if (tally.nesting_only > 0)
    printf("%zu groups without a gid read for their members only\n", tally.nesting_only);
  fflush(stdout);

  int status = kInstalled;
  if (o.strict && problems > 0) {
    tool::report("sync", std::to_string(problems) +
                             " entries were left out or reported (--strict); nothing installed");
    status = kRefused;
  } else if (stage_only) {
    for (Written &w : maps)
      if (!stage(&w, &error)) {
        tool::report("sync", error + "; not staged");
        status = kError;
        break;
      }
    if (status == kInstalled)
      for (const Written &w : maps) printf("staged %s.new\n", w.map.c_str());
  } else {
    for (Written &w : maps) w.same = same_content(w.temp, w.map);
    if (!maps[0].same) o.new_passwd = maps[0].temp;
    if (!maps[1].same) o.new_group = maps[1].temp;
    if (maps.size() > 2 && !maps[2].same) o.new_keys = maps[2].temp;
    o.new_passwd_label = o.passwd_map + " (as read from the directory)";
    o.new_group_label = o.group_map + " (as read from the directory)";
    o.new_keys_label = o.keys_map + " (as read from the directory)";
    for (const Written &w : maps)
      if (w.same) printf("%s: unchanged\n", w.map.c_str());
    fflush(stdout);
    if (!o.new_passwd.empty() || !o.new_group.empty() || !o.new_keys.empty())
      status = tool::run_install(o);
  }
  for (Written &w : maps) tool::drop_temp(&w.temp);
  if (status == kInstalled && problems > 0) status = kWithProblems;
  return status;
}

}  // namespace

namespace {

// Runs the sync and records its outcome in the state directory.
int run(int argc, char **argv) {
  Outcome outcome;
  int status = sync_maps(argc, argv, &outcome);
  if (!outcome.record) return status;
  tool::UpdateRecord record;
  record.time = time(nullptr);
  record.success = status == kInstalled || status == kWithProblems;
  record.result = status == kInstalled       ? "the maps are as the directory says"
                  : status == kWithProblems ? "installed, with entries left out or reported"
                  : status == kRefused      ? "refused: nothing installed"
                                            : "failed: nothing staged or installed";
  std::string error;
  if (mkdir(outcome.state_dir.c_str(), 0755) != 0 && errno != EEXIST)
    tool::report("sync", outcome.state_dir + ": " + strerror(errno) + "; run not recorded");
  else if (!tool::write_update_record(outcome.state_dir, "sync", record, &error))
    tool::report("sync", error + "; run not recorded");
  return status;
}

}  // namespace

}  // namespace vesk::sync

int main(int argc, char **argv) {
  // A server that goes away mid-search must fail the sync, not kill it.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
  // The library's own configuration (ldap.conf, .ldaprc, LDAP* variables)
  // is not read: it could name other servers or loosen the certificate
  // checks.  Every setting comes from [ldap].
  setenv("LDAPNOINIT", "1", 1);
  return vesk::cli::guarded("sync", vesk::sync::run, argc, argv);
}
