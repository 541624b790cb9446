// Values sent in ranges.  A server may hold back the values of a large
// attribute and send a slice of them under a range option
// ("member;range=0-1499"), whether or not the client asked for ranges; the
// rest is read by base searches of the entry for "member;range=1500-*"
// until a slice ends in "*".  An attribute that is not read to its end
// would be taken for the whole of it (a group with a thousand members
// missing), so a range that can't be completed fails the sync.
#include <ldap.h>
#include <string.h>
#include <strings.h>

#include "ranges.h"

#include "core/index_tool.h"

namespace vesk::sync {

namespace {

// Parses "N" up to `end`; false for anything else or more than 32 bits.
bool parse_bound(std::string_view text, uint32_t *out) {
  std::string digits(text);
  return !digits.empty() && digits.find_first_not_of("0123456789") == std::string::npos &&
         tool::parse_uint32(digits, out);
}

// The next slice of `attribute` from `next` on, read by a base search of
// `dn`.  Its replies stay in *held; *values gets its values.
bool read_slice(LDAP *ld, const Settings &s, const std::string &dn, const std::string &attribute,
                uint32_t next, Range *slice, std::vector<Value> *values, HeldReplies *held,
                std::string *error) {
  std::string wanted = attribute + ";range=" + std::to_string(next) + "-*";
  char *attrs[] = {wanted.data(), nullptr};
  struct timeval limit = {s.timeout, 0};
  int msgid;
  int rc = ldap_search_ext(ld, dn.c_str(), LDAP_SCOPE_BASE, "(objectClass=*)", attrs, 0, nullptr,
                           nullptr, &limit, 0, &msgid);
  if (rc != LDAP_SUCCESS) {
    *error = "reading " + wanted + ": " + ldap_err2string(rc);
    return false;
  }
  LDAPMessage *reply = nullptr;
  struct timeval wait = {s.timeout, 0};
  rc = ldap_result(ld, msgid, LDAP_MSG_ALL, &wait, &reply);
  if (rc <= 0) {
    if (rc == 0) ldap_abandon_ext(ld, msgid, nullptr, nullptr);
    int code = LDAP_OTHER;
    ldap_get_option(ld, LDAP_OPT_RESULT_CODE, &code);
    *error = "reading " + wanted + ": " +
             (rc == 0 ? "no answer within " + std::to_string(s.timeout) + " seconds"
                      : std::string(ldap_err2string(code)));
    return false;
  }
  held->messages.push_back(reply);
  bool found = false;
  int code = LDAP_OTHER;
  for (LDAPMessage *m = ldap_first_message(ld, reply); m != nullptr; m = ldap_next_message(ld, m)) {
    int type = ldap_msgtype(m);
    if (type == LDAP_RES_SEARCH_RESULT) {
      char *text = nullptr;
      if (ldap_parse_result(ld, m, &code, nullptr, &text, nullptr, nullptr, 0) != LDAP_SUCCESS)
        code = LDAP_OTHER;
      if (code != LDAP_SUCCESS) {
        *error = "reading " + wanted + ": " + ldap_err2string(code) +
                 (text != nullptr && *text != '\0' ? " (" + printable(text) + ")" : "");
      }
      if (text != nullptr) ldap_memfree(text);
      continue;
    }
    if (type != LDAP_RES_SEARCH_ENTRY || found) continue;
    BerElement *ber = nullptr;
    struct berval entry_dn = {0, nullptr};
    if (ldap_get_dn_ber(ld, m, &ber, &entry_dn) != LDAP_SUCCESS) {
      if (ber != nullptr) ber_free(ber, 0);
      continue;
    }
    struct berval type_bv;
    BerVarray vals = nullptr;
    while (ldap_get_attribute_ber(ld, m, ber, &type_bv, &vals) == LDAP_SUCCESS &&
           type_bv.bv_val != nullptr) {
      if (vals == nullptr) continue;
      held->arrays.push_back(vals);
      Range r;
      if (!found && parse_range({type_bv.bv_val, type_bv.bv_len}, &r) == RangeOption::Valid &&
          r.low == next && r.attribute.size() == attribute.size() &&
          strncasecmp(r.attribute.data(), attribute.data(), attribute.size()) == 0) {
        found = true;
        *slice = r;
        slice->count = 0;
        for (BerVarray v = vals; v->bv_val != nullptr; ++v, ++slice->count)
          values->push_back({v->bv_val, v->bv_len});
      }
      vals = nullptr;
    }
    ber_free(ber, 0);
  }
  if (code != LDAP_SUCCESS) {
    if (code == LDAP_OTHER && error->empty()) *error = "reading " + wanted + ": no search result";
    return false;
  }
  if (!found) {
    *error = "reading " + wanted + ": the server sent no values from " + std::to_string(next) + " on";
    return false;
  }
  return true;
}

}  // namespace

RangeOption parse_range(std::string_view type, Range *out) {
  // Options follow the attribute's name, each after a ';'.
  size_t at = 0;
  while ((at = type.find(';', at)) != std::string_view::npos) {
    size_t end = type.find(';', at + 1);
    if (end == std::string_view::npos) end = type.size();
    std::string_view option = type.substr(at + 1, end - at - 1);
    if (option.size() < 6 || strncasecmp(option.data(), "range=", 6) != 0) {
      at = end;
      continue;
    }
    out->attribute = std::string(type.substr(0, at)) + std::string(type.substr(end));
    std::string_view bounds = option.substr(6);
    size_t dash = bounds.find('-');
    if (dash == std::string_view::npos || !parse_bound(bounds.substr(0, dash), &out->low))
      return RangeOption::Malformed;
    std::string_view high = bounds.substr(dash + 1);
    out->to_end = high == "*";
    if (!out->to_end && (!parse_bound(high, &out->high) || out->high < out->low))
      return RangeOption::Malformed;
    return RangeOption::Valid;
  }
  return RangeOption::None;
}

bool read_ranges(LDAP *ld, const Settings &s, std::string_view dn, const std::string &attribute,
                 const Range &first, std::vector<Value> *values, HeldReplies *held,
                 std::string *error) {
  std::string entry(dn);
  Range slice = first;
  std::string where = attribute + " arrived in ranges that can't be completed";
  if (slice.low != 0) {
    *error = where + ": the first is range=" + std::to_string(slice.low) + "-...";
    return false;
  }
  while (!slice.to_end) {
    // Every slice but the last is as long as its bounds say: a short one
    // would leave values out unnoticed.
    if (slice.count != static_cast<uint64_t>(slice.high) - slice.low + 1) {
      *error = where + ": range=" + std::to_string(slice.low) + "-" + std::to_string(slice.high) +
               " held " + std::to_string(slice.count) + " values";
      return false;
    }
    if (slice.high == UINT32_MAX) {
      *error = where + ": no end";
      return false;
    }
    std::string why;
    if (!read_slice(ld, s, entry, attribute, slice.high + 1, &slice, values, held, &why)) {
      *error = where + ": " + why;
      return false;
    }
  }
  return true;
}

void HeldReplies::clear() {
  for (BerVarray v : arrays) ber_memfree(v);
  for (LDAPMessage *m : messages) ldap_msgfree(m);
  arrays.clear();
  messages.clear();
}

}  // namespace vesk::sync
