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

bool decompress(std::string_view frame, std::string_view reference, size_t size,
                std::string *out, std::string *error) {
  std::unique_ptr<ZSTD_DCtx, DDeleter> dctx(ZSTD_createDCtx());
  if (dctx == nullptr) {
    *error = "out of memory";
    return false;
  }
  // The frame is one the signed manifest vouches for; its window still
  // may not exceed what the reference and the result span.
  size_t rc = ZSTD_DCtx_setParameter(dctx.get(), ZSTD_d_windowLogMax,
                                     std::max(window_log(size + reference.size()), 27));
  if (!ZSTD_isError(rc) && !reference.empty())
    rc = ZSTD_DCtx_refPrefix(dctx.get(), reference.data(), reference.size());
  if (ZSTD_isError(rc)) {
    *error = std::string("zstd: ") + ZSTD_getErrorName(rc);
    return false;
  }
  // One byte more than expected, so that a longer result is noticed.
  out->resize(size + 1);
  ZSTD_inBuffer in{frame.data(), frame.size(), 0};
  ZSTD_outBuffer o{out->data(), out->size(), 0};
  rc = 1;
  while (rc != 0 && o.pos < o.size) {
    size_t before_in = in.pos, before_out = o.pos;
    rc = ZSTD_decompressStream(dctx.get(), &o, &in);
    if (ZSTD_isError(rc)) {
      *error = std::string("zstd: ") + ZSTD_getErrorName(rc);
      return false;
    }
    if (rc != 0 && in.pos == before_in && o.pos == before_out) break;
  }
  if (rc != 0 || in.pos != in.size) {
    *error = rc != 0 ? "the compressed data end early" : "data follow the compressed frame";
    if (o.pos > size) *error = "it holds more than the " + std::to_string(size) + " bytes signed";
    return false;
  }
  if (o.pos != size) {
    *error = "it holds " + std::to_string(o.pos) + " bytes, not the " + std::to_string(size) +
             " signed";
    return false;
  }
  out->resize(size);
  return true;
}

}  // namespace vesk::fetch
