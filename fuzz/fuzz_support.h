// Shared pieces of the fuzz targets: a scratch directory for the files the
// module opens, and checks that a filled record lies inside its buffer.
#pragma once

#include <grp.h>
#include <pwd.h>
#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include <string>

namespace vesk_fuzz {

// A scratch directory private to this process, removed at exit.
const std::string &scratch_dir();
std::string scratch_file(const char *name);

// Writes `size` bytes to `path` (replacing it) and sets its modification
// time to `mtime`.
void write_file(const std::string &path, const uint8_t *data, size_t size, time_t mtime);

// Aborts unless every string of the record (and, for a group, the member
// array and its strings) lies inside [buffer, buffer + buflen).
void check_in_buffer(const struct passwd &pw, const char *buffer, size_t buflen);
void check_in_buffer(const struct group &gr, const char *buffer, size_t buflen);

// The lowest descriptor number open() would give now.  A descriptor left
// open by the module takes that number, so comparing the lowest free number
// with its value at start-up finds a leak cheaply.
int lowest_free_fd();
// Aborts, naming the file, if a file of the scratch directory holds the
// descriptor `baseline`; descriptors the runtime opened meanwhile (the
// symbolizer's pipes) move the baseline on.
void check_no_new_descriptor(int &baseline);

// Index mappings under guard.  While armed, the search's read-only mapping
// of the file with inode `ino` is replaced by a copy of the file placed
// between two inaccessible pages: with `at_end` the copy's last byte is the
// last byte before the upper guard page, otherwise its first byte follows
// the lower guard page (where a real mapping starts).  Any read past either
// end faults at once, which ASan cannot see in a plain file mapping.
void arm_index_guard(uint64_t ino, bool at_end);
void disarm_index_guard();
// Number of guarded mappings not yet unmapped (0 after every search).
int live_guarded_mappings();

}  // namespace vesk_fuzz
