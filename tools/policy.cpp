// The content policy: which records a map may put in service.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "index_tool.h"
#include "map/files.h"

namespace vesk::tool {

namespace {

// UID_MIN and GID_MIN of login.defs ("KEY VALUE" lines, '#' comments).  A
// missing file or key leaves the default; a value that is not a number is
// an error, since a typo there must not lower the minimum.
bool read_login_defs(const std::string &path, Policy *policy, std::string *error) {
  struct stat st;
  Fd fd(open_regular(path.c_str(), &st));
  if (fd.fd < 0) return errno == ENOENT;
  FILE *file = fdopen(fd.fd, "r");
  if (file == nullptr) return false;
  fd.release();
  char line[1024];
  int number = 0;
  bool ok = true;
  while (ok && fgets(line, sizeof line, file) != nullptr) {
    ++number;
    char key[64], value[64];
    if (sscanf(line, " %63s %63s", key, value) != 2 || key[0] == '#') continue;
    uint32_t *target = strcmp(key, "UID_MIN") == 0   ? &policy->min_uid
                       : strcmp(key, "GID_MIN") == 0 ? &policy->min_gid
                                                     : nullptr;
    if (target != nullptr && !parse_uint32(value, target)) {
      *error = path + ":" + std::to_string(number) + ": " + key + ": not an id: " + value;
      ok = false;
    }
  }
  fclose(file);
  return ok;
}

}  // namespace

bool load_policy(const Config &config, Policy *policy, std::string *error) {
  if (!read_login_defs(policy->login_defs, policy, error)) {
    if (error->empty()) *error = policy->login_defs + ": can't read: " + strerror(errno);
    return false;
  }
  for (const ConfigEntry &e : config.entries) {
    if (e.section != "policy") continue;
    bool ok = true;
    if (e.key == "min_uid") {
      ok = parse_uint32(e.value, &policy->min_uid);
    } else if (e.key == "min_gid") {
      ok = parse_uint32(e.value, &policy->min_gid);
    } else if (e.key == "allow_gid") {
      for (const std::string &word : parse_list(e.value)) {
        uint32_t gid;
        ok = ok && parse_uint32(word, &gid);
        if (ok) policy->allow_gid.push_back(gid);
      }
    }
    if (!ok) {
      *error = config.where(e) + ": " + e.key + ": not " +
               (e.key == "allow_gid" ? "a list of ids: " : "an id: ") + e.value;
      return false;
    }
  }
  return true;
}

}  // namespace vesk::tool
