// A stand-in for the BSD name-service dispatcher, for a system that has none.
// It does with a module what the dispatcher does: loads the file, takes the
// method table from nss_module_register, sorts that table in place with
// qsort (by method name, then database) and finds methods in it with
// bsearch, then calls a method with the caller's arguments in a va_list.  A
// module whose table is not writable fails here as it would there.
//
// The ten __nss_compat_* adapters that libc provides there are defined in
// dispatcher.cpp and exported from the test program, so the module binds to
// them when it is loaded.  They call the module functions as libc's do:
// through int-returning pointer types, the set and end methods with no
// arguments and NS_UNAVAIL as their result whatever the function returned,
// and an enumeration that ended stays ended until the next set or end.
#pragma once

#include <string>

#include "register/nss_dispatch.h"

namespace vesk_test {

using Register = ns_mtab *(*)(const char *, unsigned int *, nss_module_unregister_fn *);

struct Dispatcher {
  void *handle = nullptr;  // the loaded module
  ns_mtab *table = nullptr;
  unsigned int size = 0;
  nss_module_unregister_fn unload = nullptr;
};

// Loads the module at `path` (RTLD_NOW) and registers it as source `source`.
// False, with the reason in *error, if either step fails.
bool load_module(const char *path, const char *source, Dispatcher *d, std::string *error);

// The registration step alone: calls `reg`, refuses a null or empty table
// and sorts the table in place.
bool register_module(Register reg, const char *source, Dispatcher *d, std::string *error);

// The dispatcher's order of table entries: method name, then database.
int compare_methods(const void *a, const void *b);

// The table entry for a database's method, or null.
const ns_mtab *find_method(const Dispatcher &d, const char *database, const char *method);

// Calls a method as the dispatcher does: method(retval, mdata, the rest of
// the arguments).  NS_UNAVAIL if the module has no such method.
int dispatch(const Dispatcher &d, const char *database, const char *method, void *retval, ...);

// How the adapters turn a module status and its error number into a
// dispatcher result.
int compat_result(int status, int err);

}  // namespace vesk_test
