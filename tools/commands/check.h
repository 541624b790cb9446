// "vesk-index check": what lookups would do with each map and its indexes.
// The verdict is a value (CheckReport), computed once; `check` prints it,
// `status` reads it.
#pragma once

#include <stdint.h>

#include <string>

#include "core/index_tool.h"

namespace vesk::tool {

// One index of a map.
struct IndexVerdict {
  std::string path;
  bool usable = false;   // fresh and complete: lookups use it and find every record
  std::string problem;   // the first thing found wrong with it ("" when usable)
};

// One map and its two indexes.
struct MapVerdict {
  Db db = Db::Passwd;
  std::string path;
  bool readable = false;
  std::string error;       // why the map can't be read
  MapFile map;             // the file as read
  uint64_t records = 0;
  size_t problems = 0;     // in the map itself: malformed lines, duplicates, the policy's refusals
  size_t refused = 0;      // records the content policy refuses (install leaves them out)
  IndexVerdict indexes[2]; // by name, by id
  int status = kExitOk;    // check's status for this map
  bool indexes_usable() const { return readable && indexes[0].usable && indexes[1].usable; }
};

struct CheckReport {
  MapVerdict maps[2];  // passwd, group
  int status = kExitOk;
  std::string out;     // what check prints on stdout
  std::string err;     // its messages, for stderr
  std::string error;   // why nothing could be checked (the local accounts unreadable)
};

// Reads each map once, judges it by options.policy and verifies its
// indexes.  The status is check's: kExitOk, kExitProblems, or kExitFailure
// (a map or the local accounts can't be read).
int check_maps(const CheckOptions &options, CheckReport *report);

}  // namespace vesk::tool
