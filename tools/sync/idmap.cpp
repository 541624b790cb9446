// Ids from objectSid values, by the system's SID mapping library: with the
// same range settings, a host fed by the maps and a host that maps SIDs
// through that library itself agree on every id.
// The library's header declares C functions without saying so.
extern "C" {
#include <sss_idmap.h>
}
#include <stdlib.h>
#include <string.h>

#include <set>

#include "sync.h"

namespace vesk::sync {

struct IdMapper::Impl {
  sss_idmap_ctx *ctx = nullptr;
  enum idmap_error_code init = IDMAP_ERROR;
  std::set<std::string> domains;  // added to ctx
};

IdMapper::IdMapper(const Settings &s) : impl_(new Impl) {
  Impl &m = *impl_;
  m.init = sss_idmap_init(nullptr, nullptr, nullptr, &m.ctx);
  if (m.init != IDMAP_SUCCESS) return;
  // Each domain gets the slice its SID hashes to (no compatibility with
  // the older fixed assignment), and further slices for RIDs beyond the
  // first range as the library's consumers configure them by default.
  enum idmap_error_code rc = sss_idmap_ctx_set_autorid(m.ctx, false);
  if (rc == IDMAP_SUCCESS) rc = sss_idmap_ctx_set_lower(m.ctx, s.idmap_range_min);
  if (rc == IDMAP_SUCCESS) rc = sss_idmap_ctx_set_upper(m.ctx, s.idmap_range_max);
  if (rc == IDMAP_SUCCESS) rc = sss_idmap_ctx_set_rangesize(m.ctx, s.idmap_range_size);
  if (rc == IDMAP_SUCCESS) rc = sss_idmap_ctx_set_extra_slice_init(m.ctx, 10);
  m.init = rc;
}

IdMapper::~IdMapper() {
  if (impl_->ctx != nullptr) sss_idmap_free(impl_->ctx);
  delete impl_;
}

// The SID as text, and its domain's part (empty if it is in no domain).
static bool split_sid(sss_idmap_ctx *ctx, std::string_view bin_sid, std::string *sid,
                      std::string *domain, std::string *error) {
  char *text = nullptr;
  enum idmap_error_code rc = sss_idmap_bin_sid_to_sid(
      ctx, reinterpret_cast<const uint8_t *>(bin_sid.data()), bin_sid.size(), &text);
  if (rc != IDMAP_SUCCESS || text == nullptr) {
    *error = std::string("objectSid is not a SID: ") + idmap_error_string(rc);
    return false;
  }
  *sid = text;
  free(text);
  size_t dash = sid->rfind('-');
  domain->clear();
  if (dash != std::string::npos && is_domain_sid(sid->substr(0, dash).c_str()))
    *domain = sid->substr(0, dash);
  return true;
}

bool IdMapper::in_domain(std::string_view bin_sid) {
  std::string sid, domain, error;
  return impl_->ctx != nullptr && split_sid(impl_->ctx, bin_sid, &sid, &domain, &error) &&
         !domain.empty();
}

bool IdMapper::map(std::string_view bin_sid, int64_t rid, uint32_t *id, std::string *error) {
  Impl &m = *impl_;
  if (m.init != IDMAP_SUCCESS) {
    *error = std::string("the SID mapping library can't be set up: ") +
             idmap_error_string(m.init);
    return false;
  }
  std::string sid, domain;
  if (!split_sid(m.ctx, bin_sid, &sid, &domain, error)) return false;
  if (domain.empty()) {
    *error = "objectSid " + sid + " is not in a domain";
    return false;
  }
  if (rid >= 0) sid = domain + "-" + std::to_string(rid);
  enum idmap_error_code rc;
  if (m.domains.count(domain) == 0) {
    struct sss_idmap_range range;
    id_t slice = static_cast<id_t>(-1);
    rc = sss_idmap_calculate_range(m.ctx, domain.c_str(), &slice, &range);
    if (rc == IDMAP_SUCCESS)
      rc = sss_idmap_add_auto_domain_ex(m.ctx, domain.c_str(), domain.c_str(), &range, nullptr,
                                        0, false, nullptr, nullptr);
    if (rc != IDMAP_SUCCESS) {
      *error = "no id range for domain " + domain + ": " + idmap_error_string(rc);
      return false;
    }
    m.domains.insert(domain);
  }
  rc = sss_idmap_sid_to_unix(m.ctx, sid.c_str(), id);
  if (rc != IDMAP_SUCCESS) {
    *error = "SID " + sid + " maps to no id: " + idmap_error_string(rc);
    return false;
  }
  return true;
}

}  // namespace vesk::sync
