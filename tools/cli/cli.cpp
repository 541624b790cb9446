#include "cli/cli.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>

#include <new>

#include "nss_vesk.h"

namespace vesk::cli {

Common::Common() : passwd_map(NSS_VESK_PASSWD_MAP), group_map(NSS_VESK_GROUP_MAP) {}

bool take_common(int c, const char *value, Common *o, std::string *error) {
  std::string v = value != nullptr ? value : "";
  const char *name = nullptr;
  for (const struct option &k : kCommonOptions)
    if (k.val == c) name = k.name;
  if (name == nullptr) return false;
  switch (c) {
    case kOptHelp: o->help = true; return true;
    case kOptVersion: o->version = true; return true;
    case kOptMinUid:
    case kOptMinGid:
    case kOptAllowGid: {
      uint32_t id;
      if (!tool::parse_uint32(v, &id)) {
        *error = std::string("--") + name + ": not an id: " + v;
        return true;
      }
      if (c == kOptMinUid) o->min_uid = id, o->min_uid_given = true;
      if (c == kOptMinGid) o->min_gid = id, o->min_gid_given = true;
      if (c == kOptAllowGid) o->allow_gid.push_back(id);
      return true;
    }
    default: break;
  }
  if (v.empty()) {
    *error = std::string("--") + name + (c == kOptConfig ? ": empty path" : ": empty map path");
    return true;
  }
  if (c == kOptPasswd) o->passwd_map = v;
  if (c == kOptGroup) o->group_map = v;
  if (c == kOptConfig) o->config_path = v, o->config_named = true;
  return true;
}

bool load(const Common &o, tool::Config *config, tool::Policy *policy, std::string *error) {
  if (!tool::read_config(o.config_path, o.config_named, config, error) ||
      !tool::load_policy(*config, policy, error))
    return false;
  if (o.min_uid_given) policy->min_uid = o.min_uid;
  if (o.min_gid_given) policy->min_gid = o.min_gid;
  policy->allow_gid.insert(policy->allow_gid.end(), o.allow_gid.begin(), o.allow_gid.end());
  return true;
}

bool parse_percent(const char *text, double *out) {
  char *end;
  errno = 0;
  double value = strtod(text, &end);
  if (end != text && *end == '%') ++end;
  if (end == text || *end != '\0' || errno != 0 || !(value >= 0 && value <= 100)) return false;
  *out = value;
  return true;
}

void say(const std::string &command, const std::string &text) {
  std::string message = "vesk-index: " + (command.empty() ? "" : command + ": ") + text + "\n";
  fputs(message.c_str(), stderr);
}

int usage_error(const std::string &command, const std::string &text, const char *usage) {
  say(command, text);
  fputs(usage, stderr);
  return tool::kExitFailure;
}

int print_version(const char *program) {
  printf("%s (nss-vesk) %s\n", program, VESK_VERSION);
  return tool::kExitOk;
}

int guarded(const std::string &command, int (*body)(int, char **), int argc, char **argv) {
  try {
    return body(argc, argv);
  } catch (const std::bad_alloc &) {
    tool::remove_all_temps();
    fflush(stdout);
    say(command, "out of memory");
    return tool::kExitFailure;
  }
}

}  // namespace vesk::cli
