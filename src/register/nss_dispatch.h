/* nss_dispatch.h - what the module needs of the BSD name-service dispatcher.
 *
 * Where the system has <nsswitch.h> with the method table (the build defines
 * VESK_HAVE_NSSWITCH_H), that header is used.  Elsewhere the same layout and
 * values are declared here, so that the registration can be built and tested
 * on a system without the dispatcher.  Those declarations give way to the
 * system's wherever <nsswitch.h> is in already: the BSDs' <nss.h>, which
 * nss_vesk.h includes for enum nss_status, includes it, and a second
 * definition of the table's struct would not compile.
 */
#ifndef VESK_NSS_DISPATCH_H
#define VESK_NSS_DISPATCH_H

#include <stdarg.h>

#include "nss_vesk.h"

#ifdef VESK_HAVE_NSSWITCH_H
#include <nsswitch.h>
#elif !defined(NS_SUCCESS) /* <nsswitch.h> defines it with the results */

/* Dispatcher results: bit values, as a source list's actions test them. */
#define NS_SUCCESS (1 << 0)  /* the method found the entry */
#define NS_UNAVAIL (1 << 1)  /* the source is not responding or is corrupt */
#define NS_NOTFOUND (1 << 2) /* the source answered: no such entry */
#define NS_TRYAGAIN (1 << 3) /* the source is busy, it may answer later */
#define NS_RETURN (1 << 4)   /* stop here: the caller's buffer is too small */

#ifdef __cplusplus
extern "C" {
#endif

/* A method: result pointer, the method data of its table entry, and the
 * caller's remaining arguments. */
typedef int (*nss_method)(void *retval, void *mdata, va_list ap);

/* One entry of a module's method table. */
typedef struct _ns_mtab {
  const char *database; /* "passwd", "group", ... */
  const char *name;     /* method name, "getpwnam_r", ... */
  nss_method method;    /* what the dispatcher calls */
  void *mdata;          /* handed to `method` as is */
} ns_mtab;

/* Called with the table and its size when the dispatcher unloads a module. */
typedef void (*nss_module_unregister_fn)(ns_mtab *table, unsigned int size);

#ifdef __cplusplus
}
#endif

#endif /* VESK_HAVE_NSSWITCH_H, NS_SUCCESS */

#ifdef __cplusplus
extern "C" {
#endif

#ifndef VESK_HAVE_NSS_COMPAT_DECLS
/* libc's adapters from the dispatcher's calls to glibc-style module
 * functions (method data: the module function). */
int __nss_compat_getpwnam_r(void *retval, void *mdata, va_list ap);
int __nss_compat_getpwuid_r(void *retval, void *mdata, va_list ap);
int __nss_compat_getpwent_r(void *retval, void *mdata, va_list ap);
int __nss_compat_setpwent(void *retval, void *mdata, va_list ap);
int __nss_compat_endpwent(void *retval, void *mdata, va_list ap);
int __nss_compat_getgrnam_r(void *retval, void *mdata, va_list ap);
int __nss_compat_getgrgid_r(void *retval, void *mdata, va_list ap);
int __nss_compat_getgrent_r(void *retval, void *mdata, va_list ap);
int __nss_compat_setgrent(void *retval, void *mdata, va_list ap);
int __nss_compat_endgrent(void *retval, void *mdata, va_list ap);
#endif

/* The module's registration: fills in the table size and a null unload
 * function and returns the table; the source name is not looked at. */
NSS_VESK_EXPORT ns_mtab *nss_module_register(const char *source, unsigned int *size,
                                             nss_module_unregister_fn *unload);

#ifdef __cplusplus
}
#endif

#endif /* VESK_NSS_DISPATCH_H */
