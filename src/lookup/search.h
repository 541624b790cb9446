// The indexed search and the verifiers that confirm its answer.
#pragma once

#include "nss_vesk.h"

namespace vesk {

// The body of _nss_vesk_bsearch2 (see nss_vesk.h); takes no lock.
enum nss_status index_search(const IndexSearch *search, int *errnop);

// Verifiers: read one record from `map` into search->result/buffer and
// compare it with search->wanted.  Ids compare as unsigned 32-bit numbers.
// Names are Equal only when byte-for-byte identical; otherwise strcoll (then
// strcmp) decides above or below.  A compat line (is_compat_name) is never
// Equal, whatever it holds.  ReadFailed leaves the reason in errno.
template <typename Record>
VerifyOutcome verify_id(FILE *map, const IndexSearch *search);
template <typename Record>
VerifyOutcome verify_name(FILE *map, const IndexSearch *search);

inline constexpr auto verify_passwd_uid = &verify_id<struct passwd>;
inline constexpr auto verify_passwd_name = &verify_name<struct passwd>;
inline constexpr auto verify_group_gid = &verify_id<struct group>;
inline constexpr auto verify_group_name = &verify_name<struct group>;

}  // namespace vesk
