#include "codec.h"

#define ZSTD_STATIC_LINKING_ONLY  // the window log limits
#include <zstd.h>

#include <algorithm>
#include <memory>

namespace vesk::fetch {

namespace {

struct CDeleter {
  void operator()(ZSTD_CCtx *c) const { ZSTD_freeCCtx(c); }
};
struct DDeleter {
  void operator()(ZSTD_DCtx *d) const { ZSTD_freeDCtx(d); }
};

// The window that lets a match reach from the end of the new data back to
// the start of the reference before it.
int window_log(size_t span) {
  int log = ZSTD_WINDOWLOG_MIN;
  while (log < ZSTD_WINDOWLOG_MAX && (size_t{1} << log) < span) ++log;
  return log;
}

}  // namespace

bool compress(std::string_view data, std::string_view reference, int level, std::string *out,
              std::string *error) {
  std::unique_ptr<ZSTD_CCtx, CDeleter> cctx(ZSTD_createCCtx());
  if (cctx == nullptr) {
    *error = "out of memory";
    return false;
  }
  int window = window_log(data.size() + reference.size());
  size_t rc = 0;
  auto set = [&](ZSTD_cParameter p, int v) {
    if (!ZSTD_isError(rc)) rc = ZSTD_CCtx_setParameter(cctx.get(), p, v);
  };
  set(ZSTD_c_compressionLevel, level);
  set(ZSTD_c_checksumFlag, 1);
  set(ZSTD_c_contentSizeFlag, 1);
  if (!reference.empty() || window > 24) {
    set(ZSTD_c_enableLongDistanceMatching, 1);
    set(ZSTD_c_windowLog, window);
  }
  if (!ZSTD_isError(rc) && !reference.empty())
    rc = ZSTD_CCtx_refPrefix(cctx.get(), reference.data(), reference.size());
  if (ZSTD_isError(rc)) {
    *error = std::string("zstd: ") + ZSTD_getErrorName(rc);
    return false;
  }
  out->resize(ZSTD_compressBound(data.size()));
  rc = ZSTD_compress2(cctx.get(), out->data(), out->size(), data.data(), data.size());
  if (ZSTD_isError(rc)) {
    *error = std::string("zstd: ") + ZSTD_getErrorName(rc);
    return false;
  }
  out->resize(rc);
  out->shrink_to_fit();
  return true;
}

bool decompress_into(std::string_view frame, std::string_view reference, char *out, size_t size,
                     std::string *error) {
  // Header checks first: they cost nothing and keep zstd from being asked
  // for more than the signed size, or to decode a second frame.
  unsigned long long content = ZSTD_getFrameContentSize(frame.data(), frame.size());
  if (content == ZSTD_CONTENTSIZE_ERROR || content == ZSTD_CONTENTSIZE_UNKNOWN) {
    *error = "not a zstd frame that states its size";
    return false;
  }
  if (content != size) {
    *error = "it holds " + std::to_string(content) + " bytes, not the " + std::to_string(size) +
             " signed";
    return false;
  }
  size_t frame_size = ZSTD_findFrameCompressedSize(frame.data(), frame.size());
  if (ZSTD_isError(frame_size) || frame_size != frame.size()) {
    *error = ZSTD_isError(frame_size) ? "the compressed data end early"
                                      : "data follow the compressed frame";
    return false;
  }
  std::unique_ptr<ZSTD_DCtx, DDeleter> dctx(ZSTD_createDCtx());
  if (dctx == nullptr) {
    *error = "out of memory";
    return false;
  }
  size_t rc = 0;
  if (!reference.empty()) rc = ZSTD_DCtx_refPrefix(dctx.get(), reference.data(), reference.size());
  if (!ZSTD_isError(rc)) rc = ZSTD_decompressDCtx(dctx.get(), out, size, frame.data(), frame.size());
  if (ZSTD_isError(rc)) {
    *error = std::string("zstd: ") + ZSTD_getErrorName(rc);
    return false;
  }
  if (rc != size) {
    *error = "it holds " + std::to_string(rc) + " bytes, not the " + std::to_string(size) +
             " signed";
    return false;
  }
  return true;
}

}  // namespace vesk::fetch
