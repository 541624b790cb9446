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

// Decompresses one frame made by compress() with the same `reference`.  The
// result must be exactly `size` bytes: a frame that gives more or fewer, is
// damaged or is followed by anything fails.
bool decompress(std::string_view frame, std::string_view reference, size_t size,
                std::string *out, std::string *error);

}  // namespace vesk::fetch
