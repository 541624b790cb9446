#include "dispatcher.h"

#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <string.h>

namespace vesk_test {

int compat_result(enum nss_status status, int err) {
  switch (status) {
    case NSS_STATUS_SUCCESS:
      return NS_SUCCESS;
    case NSS_STATUS_NOTFOUND:
      return NS_NOTFOUND;
    case NSS_STATUS_UNAVAIL:
      return NS_UNAVAIL;
    case NSS_STATUS_TRYAGAIN:
      // A buffer too small is the caller's to fix: it retries with a larger
      // one.  Any other temporary failure may go to the next source.
      return err == ERANGE ? NS_RETURN : NS_TRYAGAIN;
    default:
      return NS_UNAVAIL;
  }
}

bool load_module(const char *path, const char *source, Dispatcher *d, std::string *error) {
  d->handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (d->handle == nullptr) {
    *error = dlerror();
    return false;
  }
  using Register = ns_mtab *(*)(const char *, unsigned int *, nss_module_unregister_fn *);
  auto reg = reinterpret_cast<Register>(dlsym(d->handle, "nss_module_register"));
  if (reg == nullptr) {
    *error = "no nss_module_register in " + std::string(path);
    return false;
  }
  d->table = reg(source, &d->size, &d->unload);
  if (d->table == nullptr) {
    *error = "nss_module_register returned no table";
    return false;
  }
  return true;
}

const ns_mtab *find_method(const Dispatcher &d, const char *database, const char *method) {
  for (unsigned int i = 0; i < d.size; ++i) {
    if (strcmp(d.table[i].database, database) == 0 && strcmp(d.table[i].name, method) == 0)
      return &d.table[i];
  }
  return nullptr;
}

int dispatch(const Dispatcher &d, const char *database, const char *method, void *retval, ...) {
  const ns_mtab *entry = find_method(d, database, method);
  if (entry == nullptr || entry->method == nullptr) return NS_UNAVAIL;
  va_list ap;
  va_start(ap, retval);
  int result = entry->method(retval, entry->mdata, ap);
  va_end(ap);
  return result;
}

namespace {

// The module function types the adapters call through the method data.
template <typename Key, typename Record>
using KeyedLookup = enum nss_status (*)(Key, Record *, char *, size_t, int *);
template <typename Record>
using NextRecord = enum nss_status (*)(Record *, char *, size_t, int *);
using SetOrEnd = enum nss_status (*)(void);

// getpwnam_r, getpwuid_r, getgrnam_r, getgrgid_r: the dispatcher passes
// (key, record, buffer, buffer size, int *error number); on success the
// record's address goes to *retval.
template <typename Key, typename Record>
int keyed(void *retval, void *mdata, va_list ap) {
  Key key = va_arg(ap, Key);
  Record *record = va_arg(ap, Record *);
  char *buffer = va_arg(ap, char *);
  size_t size = va_arg(ap, size_t);
  int *errnop = va_arg(ap, int *);
  auto lookup = reinterpret_cast<KeyedLookup<Key, Record>>(mdata);
  enum nss_status status = lookup(key, record, buffer, size, errnop);
  int result = compat_result(status, *errnop);  // *errnop only after the call
  if (result == NS_SUCCESS) *static_cast<Record **>(retval) = record;
  return result;
}

// getpwent_r, getgrent_r: (record, buffer, buffer size, int *error number).
template <typename Record>
int next(void *retval, void *mdata, va_list ap) {
  Record *record = va_arg(ap, Record *);
  char *buffer = va_arg(ap, char *);
  size_t size = va_arg(ap, size_t);
  int *errnop = va_arg(ap, int *);
  auto step = reinterpret_cast<NextRecord<Record>>(mdata);
  enum nss_status status = step(record, buffer, size, errnop);
  int result = compat_result(status, *errnop);
  if (result == NS_SUCCESS) *static_cast<Record **>(retval) = record;
  return result;
}

// setpwent, endpwent, setgrent, endgrent: whatever the caller passes (a
// "stay open" flag for the set methods) is not used.
int set_or_end(void *mdata) {
  auto call = reinterpret_cast<SetOrEnd>(mdata);
  return compat_result(call(), 0);
}

}  // namespace
}  // namespace vesk_test

extern "C" {

int __nss_compat_getpwnam_r(void *retval, void *mdata, va_list ap) {
  return vesk_test::keyed<const char *, struct passwd>(retval, mdata, ap);
}
int __nss_compat_getpwuid_r(void *retval, void *mdata, va_list ap) {
  return vesk_test::keyed<uid_t, struct passwd>(retval, mdata, ap);
}
int __nss_compat_getpwent_r(void *retval, void *mdata, va_list ap) {
  return vesk_test::next<struct passwd>(retval, mdata, ap);
}
int __nss_compat_setpwent(void *, void *mdata, va_list) { return vesk_test::set_or_end(mdata); }
int __nss_compat_endpwent(void *, void *mdata, va_list) { return vesk_test::set_or_end(mdata); }

int __nss_compat_getgrnam_r(void *retval, void *mdata, va_list ap) {
  return vesk_test::keyed<const char *, struct group>(retval, mdata, ap);
}
int __nss_compat_getgrgid_r(void *retval, void *mdata, va_list ap) {
  return vesk_test::keyed<gid_t, struct group>(retval, mdata, ap);
}
int __nss_compat_getgrent_r(void *retval, void *mdata, va_list ap) {
  return vesk_test::next<struct group>(retval, mdata, ap);
}
int __nss_compat_setgrent(void *, void *mdata, va_list) { return vesk_test::set_or_end(mdata); }
int __nss_compat_endgrent(void *, void *mdata, va_list) { return vesk_test::set_or_end(mdata); }

}  // extern "C"
