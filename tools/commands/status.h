// "vesk-index status": the health of the maps on this host, for people and
// for monitoring.
#pragma once

#include <stdint.h>

#include <string>

#include "core/index_tool.h"

namespace vesk::tool {

enum class StatusFormat { Text, Json, Prometheus };

struct StatusOptions {
  std::string passwd_map, group_map;
  std::string keys_map;  // reported when it exists
  std::string state_dir;
  int64_t max_age = 7 * 86400;  // seconds
  StatusFormat format = StatusFormat::Text;
  Policy policy;  // the maps are judged as every other command judges them
};

// Prints the status; kExitOk when healthy, kExitProblems when stale (the
// last successful update, or without any, the maps, older than max_age) or
// when a map or its indexes can't be used, kExitFailure when it can't tell.
int run_status(const StatusOptions &options);

}  // namespace vesk::tool
