// Registration with the BSD name-service dispatcher: the table of the ten
// methods the module offers, each reaching a module function through libc's
// adapter for glibc-style modules.
#include "register/nss_dispatch.h"

namespace {

// Handed out as a plain pointer; the dispatcher may sort it in place, the
// module itself never touches it.  Address constants only (no function call
// in an initialiser), so the table is static data: nothing runs when the
// module is loaded.
ns_mtab methods[] = {
    {"passwd", "getpwnam_r", __nss_compat_getpwnam_r, reinterpret_cast<void *>(_nss_vesk_getpwnam_r)},
    {"passwd", "getpwuid_r", __nss_compat_getpwuid_r, reinterpret_cast<void *>(_nss_vesk_getpwuid_r)},
    {"passwd", "getpwent_r", __nss_compat_getpwent_r, reinterpret_cast<void *>(_nss_vesk_getpwent_r)},
    {"passwd", "endpwent", __nss_compat_endpwent, reinterpret_cast<void *>(_nss_vesk_endpwent)},
    {"passwd", "setpwent", __nss_compat_setpwent, reinterpret_cast<void *>(_nss_vesk_setpwent)},
    {"group", "getgrnam_r", __nss_compat_getgrnam_r, reinterpret_cast<void *>(_nss_vesk_getgrnam_r)},
    {"group", "getgrgid_r", __nss_compat_getgrgid_r, reinterpret_cast<void *>(_nss_vesk_getgrgid_r)},
    {"group", "getgrent_r", __nss_compat_getgrent_r, reinterpret_cast<void *>(_nss_vesk_getgrent_r)},
    {"group", "endgrent", __nss_compat_endgrent, reinterpret_cast<void *>(_nss_vesk_endgrent)},
    {"group", "setgrent", __nss_compat_setgrent, reinterpret_cast<void *>(_nss_vesk_setgrent)},
};

}  // namespace

extern "C" ns_mtab *nss_module_register(const char * /*source*/, unsigned int *size,
                                        nss_module_unregister_fn *unload) {
  *size = sizeof methods / sizeof methods[0];
  *unload = nullptr;
  return methods;
}
