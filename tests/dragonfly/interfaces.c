/* The module's entry points against the types DragonFly BSD calls them
 * with.  scripts/dragonfly compiles this against the platform's own headers
 * (never links or runs it) with warnings as errors, so a function whose type
 * differs from the one the platform gives it fails to compile.
 *
 * The dispatcher takes the registration from the module as an
 * nss_module_register_fn.  libc's adapters (__nss_compat_*) take a module
 * function from the method data and call it through these pointer types:
 * every one returns int (enum nss_status is an int-sized enumeration with
 * negative values, so the module's functions are compatible with them), and
 * the set and end methods take nothing.
 */
#include <stdarg.h>
#include <stddef.h>
#include <sys/types.h>

#include <grp.h>
#include <nss.h>
#include <nsswitch.h>
#include <pwd.h>

#include "nss_vesk.h"
#include "register/nss_dispatch.h"

typedef int (*keyed_by_name_pw)(const char *, struct passwd *, char *, size_t, int *);
typedef int (*keyed_by_id_pw)(uid_t, struct passwd *, char *, size_t, int *);
typedef int (*next_pw)(struct passwd *, char *, size_t, int *);
typedef int (*keyed_by_name_gr)(const char *, struct group *, char *, size_t, int *);
typedef int (*keyed_by_id_gr)(gid_t, struct group *, char *, size_t, int *);
typedef int (*next_gr)(struct group *, char *, size_t, int *);
typedef int (*set_or_end)(void);

/* What the adapters' results are made of: the module's statuses must be
 * the platform's. */
_Static_assert(sizeof(enum nss_status) == sizeof(int), "enum nss_status is not int-sized");
_Static_assert(NSS_STATUS_SUCCESS == 1 && NSS_STATUS_NOTFOUND == 0 && NSS_STATUS_UNAVAIL == -1 &&
                   NSS_STATUS_TRYAGAIN == -2,
               "enum nss_status differs from the platform's");

extern const nss_module_register_fn vesk_register;
const nss_module_register_fn vesk_register = nss_module_register;

/* The method table's adapters are nss_method. */
extern const nss_method vesk_adapters[10];
const nss_method vesk_adapters[10] = {
    __nss_compat_getpwnam_r, __nss_compat_getpwuid_r, __nss_compat_getpwent_r,
    __nss_compat_setpwent,   __nss_compat_endpwent,   __nss_compat_getgrnam_r,
    __nss_compat_getgrgid_r, __nss_compat_getgrent_r, __nss_compat_setgrent,
    __nss_compat_endgrent,
};

extern const keyed_by_name_pw vesk_getpwnam_r;
extern const keyed_by_id_pw vesk_getpwuid_r;
extern const next_pw vesk_getpwent_r;
extern const set_or_end vesk_setpwent, vesk_endpwent;
extern const keyed_by_name_gr vesk_getgrnam_r;
extern const keyed_by_id_gr vesk_getgrgid_r;
extern const next_gr vesk_getgrent_r;
extern const set_or_end vesk_setgrent, vesk_endgrent;

const keyed_by_name_pw vesk_getpwnam_r = _nss_vesk_getpwnam_r;
const keyed_by_id_pw vesk_getpwuid_r = _nss_vesk_getpwuid_r;
const next_pw vesk_getpwent_r = _nss_vesk_getpwent_r;
const set_or_end vesk_setpwent = _nss_vesk_setpwent;
const set_or_end vesk_endpwent = _nss_vesk_endpwent;
const keyed_by_name_gr vesk_getgrnam_r = _nss_vesk_getgrnam_r;
const keyed_by_id_gr vesk_getgrgid_r = _nss_vesk_getgrgid_r;
const next_gr vesk_getgrent_r = _nss_vesk_getgrent_r;
const set_or_end vesk_setgrent = _nss_vesk_setgrent;
const set_or_end vesk_endgrent = _nss_vesk_endgrent;
