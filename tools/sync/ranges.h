// Attribute values sent in ranges ("member;range=0-1499"), read to their
// end (ranges.cpp).
#pragma once

#include <ldap.h>
#include <stdint.h>

#include <string>
#include <string_view>
#include <vector>

#include "sync.h"

namespace vesk::sync {

// A range option and the attribute description without it.
struct Range {
  std::string attribute;  // "member" of "member;range=0-1499"
  uint32_t low = 0, high = 0;
  bool to_end = false;  // "range=N-*": the last slice
  uint64_t count = 0;   // values the slice held
};

enum class RangeOption { None, Valid, Malformed };

// Whether the attribute type `type` carries a range option, and which.
RangeOption parse_range(std::string_view type, Range *out);

// Replies that values point into, freed once the entry has been taken.
struct HeldReplies {
  std::vector<LDAPMessage *> messages;
  std::vector<BerVarray> arrays;
  HeldReplies() = default;
  HeldReplies(const HeldReplies &) = delete;
  HeldReplies &operator=(const HeldReplies &) = delete;
  ~HeldReplies() { clear(); }
  void clear();
};

// Reads the slices of `attribute` of the entry `dn` that follow `first`
// (which held first.count values, already in *values) and appends their
// values.  False with *error set when the range can't be completed: a
// first slice not from 0, a slice shorter than its bounds, a read that
// fails or brings no slice that starts where the last ended.
bool read_ranges(LDAP *ld, const Settings &s, std::string_view dn, const std::string &attribute,
                 const Range &first, std::vector<Value> *values, HeldReplies *held,
                 std::string *error);

}  // namespace vesk::sync
