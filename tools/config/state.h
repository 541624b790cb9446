// What the programs that update the maps from elsewhere (fetch, sync) leave
// behind about their last run, for `vesk-index status` and for the next run.
//
// Each program keeps one small text file, STATE_DIR/PROGRAM.state, of
// "key value" lines:
//
//   time 1765290000          this run, seconds since the epoch (UTC)
//   success yes|no           whether the maps are now as the source says
//   generation 42            the generation installed after this run (0: none)
//   last-success 1765290000  the latest successful run, this one or earlier
//   made 1765289000          when the source made what is installed (fetch:
//                            the signed manifest's creation time); optional
//   result TEXT              one line: what the run did, or why it failed
//
// The file is replaced whole (a temporary file renamed over it), so a reader
// sees the old record or the new one.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace vesk::tool {

inline constexpr char kDefaultStateDir[] = "/var/lib/vesk-index";

struct UpdateRecord {
  int64_t time = 0;
  bool success = false;
  uint64_t generation = 0;
  int64_t last_success = 0;
  int64_t made = 0;  // 0: not known
  std::string result;
};

// How fresh the installed maps are: when the source made them if known,
// else the latest successful run.  A mirror that keeps answering "not
// modified" does not make the maps any fresher.
inline int64_t freshness(const UpdateRecord &r) { return r.made != 0 ? r.made : r.last_success; }

std::string record_path(const std::string &state_dir, const std::string &program);

// Reads PROGRAM's record.  *found is false (and the call succeeds) when
// there is none; false with *error set if the file can't be read or is not
// such a record.
bool read_update_record(const std::string &state_dir, const std::string &program,
                        UpdateRecord *record, bool *found, std::string *error);

// Records a run: `record` as given, except that last_success is this run's
// time when it succeeded and otherwise carried over from the previous
// record, and so is `made` when not given.  False with *error set on failure.
bool write_update_record(const std::string &state_dir, const std::string &program,
                         UpdateRecord record, std::string *error);

// The files a program installed, as it left them (STATE_DIR/PROGRAM.installed):
//
//   generation 42
//   file PATH SIZE MTIME_SEC MTIME_NSEC INODE SHA256|-
//
// one file line for each map and index, so that a later run notices, by a
// stat() first, that something else changed them.
struct InstalledFile {
  std::string path;
  int64_t size = 0, mtime_sec = 0, mtime_nsec = 0;
  uint64_t inode = 0;
  std::string sha256;  // "-": not recorded
};
struct InstalledRecord {
  uint64_t generation = 0;
  std::vector<InstalledFile> files;
};
bool read_installed_record(const std::string &state_dir, const std::string &program,
                           InstalledRecord *record, bool *found, std::string *error);
bool write_installed_record(const std::string &state_dir, const std::string &program,
                            const InstalledRecord &record, std::string *error);
// Fills *f's size, time and inode from the file at f->path.
bool stat_installed(InstalledFile *f);
// True when the file at f.path has the size, time and inode recorded.
bool same_stat(const InstalledFile &f);

// Replaces the file at `path` with `data` (mode `mode`): a temporary file
// beside it, flushed, renamed over it, the directory flushed.  On failure
// the file is as it was and *error says why.
bool replace_file(const std::string &path, const std::string &data, unsigned mode,
                  std::string *error);

// Reads a whole regular file of at most `limit` bytes.  False with *error
// set ("PATH: TEXT"); errno is ENOENT when it does not exist.
bool read_small_file(const std::string &path, size_t limit, std::string *data,
                     std::string *error);

}  // namespace vesk::tool
