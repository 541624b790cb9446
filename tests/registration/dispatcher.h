// A stand-in for the BSD name-service dispatcher, for a system that has none:
// loads a module file, learns its methods through nss_module_register and
// calls them as the dispatcher does, with the caller's arguments in a
// va_list.  The ten __nss_compat_* adapters that libc provides there are
// defined in dispatcher.cpp and exported from the test program, so the
// module binds to them when it is loaded.
#pragma once

#include <string>

#include "register/nss_dispatch.h"

namespace vesk_test {

struct Dispatcher {
  void *handle = nullptr;  // the loaded module
  ns_mtab *table = nullptr;
  unsigned int size = 0;
  nss_module_unregister_fn unload = nullptr;
};

// Loads the module at `path` (RTLD_NOW) and registers it as source `source`.
// False, with the reason in *error, if either step fails.
bool load_module(const char *path, const char *source, Dispatcher *d, std::string *error);

// The table entry for a database's method, or null.
const ns_mtab *find_method(const Dispatcher &d, const char *database, const char *method);

// Calls a method as the dispatcher does: method(retval, mdata, the rest of
// the arguments).  NS_UNAVAIL if the module has no such method.
int dispatch(const Dispatcher &d, const char *database, const char *method, void *retval, ...);

// How the adapters turn a module status and its error number into a
// dispatcher result.
int compat_result(enum nss_status status, int err);

}  // namespace vesk_test
