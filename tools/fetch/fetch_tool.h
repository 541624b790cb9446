// vesk-index-fetch: publishes the maps into a directory that any web server
// can serve ("publish", on the export host) and installs them from there
// ("fetch", on every other host), trusting only the manifest's signature.
#pragma once

#include <stdint.h>

#include <string>
#include <string_view>
#include <vector>

#include "core/index_tool.h"

namespace vesk::fetch {

// Exit statuses: those of vesk-index install, which fetch passes on.
enum Exit {
  kOk = tool::kExitOk,
  kRefused = tool::kExitRefused,
  kFailure = tool::kExitFailure,
  kInstalledWithProblems = tool::kExitInstalledWithProblems,
};

struct PublishOptions {
  std::string dir;
  std::string passwd_map, group_map;
  std::string keys_map;  // empty: the keys map is not published
  std::string key_file;  // PEM Ed25519 private key
  unsigned deltas = 3;   // generations a delta is made from
  int level = 3;         // zstd level: at 1,000,000 users the smallest deltas, in seconds
  bool wait = true;      // for the directory's lock
  std::string channel = "production";
  // The generation to publish; 0: the time in milliseconds, or one more than
  // the last if that is later, so that a directory lost and published anew
  // still goes forward.
  uint64_t generation = 0;
  tool::Policy policy;  // its host-independent part is applied
};

int run_publish(const PublishOptions &options);

struct FetchOptions {
  std::string url;  // the published directory
  std::string public_key_file;
  std::string tls_ca_file;  // empty: the system's store
  long timeout = 120;       // seconds, for each request
  int64_t max_age = 7 * 86400;
  int64_t max_skew = 300;                 // seconds a manifest may come from the future
  uint64_t max_size = uint64_t{4} << 30;  // bytes of any published file
  std::string channel = "production";
  std::string state_dir;
  bool force = false;  // an older generation, an old manifest: never install's guards
  tool::InstallOptions install;  // maps, policy, wait
};

int run_fetch(const FetchOptions &options);

// Files: written under a temporary name beside the final one (mode 0644,
// flushed unless `flush` is false), to be renamed into place or dropped.
bool write_temp(const std::string &final_path, std::string_view data, std::string *temp,
                std::string *error, bool flush = true);
bool read_file(const std::string &path, std::string *data, std::string *error);
// A file seen through a mapping: a new one of a given size, written through
// it (create: a temporary file beside `final_path`, mode 0644, removed when
// this is destroyed unless kept), or an existing one read through it (open).
struct MappedFile {
  std::string path;
  char *data = nullptr;
  size_t size = 0;
  bool temporary = false;
  MappedFile() = default;
  MappedFile(const MappedFile &) = delete;
  MappedFile &operator=(const MappedFile &) = delete;
  ~MappedFile();
  bool create(const std::string &final_path, size_t size, std::string *error);
  bool open(const std::string &path, std::string *error);
  // The temporary file was renamed away: no longer ours to remove.
  void keep();
  // Done with its bytes (the file stays): writing a file back to disk
  // while a process maps it costs every page a trip through its mapping.
  void unmap();
  std::string_view view() const { return {data, size}; }
};

// An exclusive flock on the directory `dir`, held while *fd is open.
bool lock_directory(const std::string &dir, bool wait, int *fd, std::string *error);

// "vesk-index-fetch: WHERE: TEXT" is vesk-index's report().
using tool::report;

}  // namespace vesk::fetch
