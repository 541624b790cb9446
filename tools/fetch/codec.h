// The published maps compressed with zstd, whole or as a delta: a frame
// compressed with an older generation of the map as its prefix (zstd's
// patch mode), which then holds little more than the lines that changed.
#pragma once

#include <string>
#include <string_view>

namespace vesk::fetch {

// Compresses `data` at `level`; with a non-empty `reference`, as a delta
// from it.  False with *error set on failure.
bool compress(std::string_view data, std::string_view reference, int level, std::string *out,
              std::string *error);

// Decompresses one frame made by compress() with the same `reference` (may
// be empty) into out[0..size): the frame must say it holds exactly `size`
// bytes, and be followed by nothing.  One pass, no window buffer: the
// reference and the output are the window.
bool decompress_into(std::string_view frame, std::string_view reference, char *out, size_t size,
                     std::string *error);

}  // namespace vesk::fetch
