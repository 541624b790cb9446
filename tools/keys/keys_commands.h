// The keys map in vesk-index build, check, install and status.  The callers
// hold the update lock on the keys map's directory (lock_maps) where they
// write.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "core/index_tool.h"

namespace vesk::keys {

// What check learns of a keys map.
struct KeysHealth {
  bool present = false;   // the map exists
  bool readable = false;
  uint64_t keys = 0, users = 0;
  size_t problems = 0;    // lines refused (reported)
  bool index_usable = false;
  std::string problem;    // the first thing wrong with the map or its index
};

// Judges every line of the keys map at `map` and compares its index with
// the map.  Reports each problem ("vesk-index: check: FILE:LINE: ...")
// when `report` is set.  No map: nothing to check (present = false).
// Returns kExitOk, kExitProblems or kExitFailure.
int check_keys(const std::string &map, const tool::Policy &policy, bool report, KeysHealth *health);

// Writes the index of the keys map at `map`, reporting refused lines
// (which stay in the map and the index: build judges, install leaves
// out).  No map: nothing to do.
int build_keys(const std::string &map, const tool::Policy &policy, const char *command);

struct KeysInstall {
  std::string map;       // the keys map
  std::string staged;    // the new keys map; empty: MAP.new if it exists
  bool default_staged = true;  // false: never MAP.new (the other maps were named)
  std::string label;     // what messages call it (default: its path)
  std::string passwd_map;  // the installed passwd map: keys only for its users
  double max_drop = 50;
  bool force = false, follow_symlinks = false, dry_run = false, strict = false;
};

// Puts a new keys map in place with its index: the staged one, or, when
// nothing is staged, the current one again, so that keys of users the new
// passwd map no longer serves (or that became local accounts) go with it.
// A key is kept only when its line passes the judge of key lines and its
// user is served by the installed passwd map with the line's uid and is no
// local account.  Refuses (kExitRefused, nothing installed) a map that
// drops more than max_drop percent of the current keys unless forced.
// Returns kExitOk, kExitInstalledWithProblems, kExitRefused or
// kExitFailure.
int install_keys(const KeysInstall &o, const tool::Policy &policy);

}  // namespace vesk::keys
