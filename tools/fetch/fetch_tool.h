// vesk-index-fetch: publishes the maps into a directory that any web server
// can serve ("publish", on the export host) and installs them from there
// ("fetch", on every other host), trusting only the manifest's signature.
#pragma once

#include <stdint.h>

#include <string>
#include <string_view>

#include "index_tool.h"

namespace vesk::fetch {

// Exit statuses: those of vesk-index install, which fetch passes on.
enum Exit { kOk = 0, kRefused = 1, kFailure = 2, kInstalledWithProblems = 3 };

struct PublishOptions {
  std::string dir;
  std::string passwd_map, group_map;
  std::string key_file;  // PEM Ed25519 private key
  unsigned deltas = 3;   // generations a delta is made from
  int level = 3;         // zstd level: at 1,000,000 users the smallest deltas, in seconds
  bool wait = true;      // for the directory's lock
};

int run_publish(const PublishOptions &options);

struct FetchOptions {
  std::string url;  // the published directory
  std::string public_key_file;
  std::string tls_ca_file;  // empty: the system's store
  long timeout = 120;       // seconds, for each request
  int64_t max_age = 7 * 86400;
  std::string state_dir;
  bool force = false;
  tool::InstallOptions install;  // maps, policy, wait
};

int run_fetch(const FetchOptions &options);

// Files: written under a temporary name beside the final one (mode 0644,
// flushed unless `flush` is false), to be renamed into place or dropped.
bool write_temp(const std::string &final_path, std::string_view data, std::string *temp,
                std::string *error, bool flush = true);
bool read_file(const std::string &path, std::string *data, std::string *error);
// An exclusive flock on the directory `dir`, held while *fd is open.
bool lock_directory(const std::string &dir, bool wait, int *fd, std::string *error);

// "vesk-index-fetch: WHERE: TEXT" is vesk-index's report().
using tool::report;

}  // namespace vesk::fetch
