#include "dispatcher.h"

#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

namespace vesk_test {

int compat_result(int status, int err) {
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
      return 0;  // no result the dispatcher knows: as libc's adapters
  }
}

int compare_methods(const void *a, const void *b) {
  const auto *x = static_cast<const ns_mtab *>(a);
  const auto *y = static_cast<const ns_mtab *>(b);
  int cmp = strcmp(x->name, y->name);
  return cmp != 0 ? cmp : strcmp(x->database, y->database);
}

bool register_module(Register reg, const char *source, Dispatcher *d, std::string *error) {
  d->table = reg(source, &d->size, &d->unload);
  if (d->table == nullptr || d->size == 0) {
    *error = "nss_module_register returned no table";
    return false;
  }
  // In place, as the dispatcher does: a table in read-only memory faults.
  if (d->size > 1) qsort(d->table, d->size, sizeof d->table[0], compare_methods);
  return true;
}

bool load_module(const char *path, const char *source, Dispatcher *d, std::string *error) {
  d->handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (d->handle == nullptr) {
    *error = dlerror();
    return false;
  }
  auto reg = reinterpret_cast<Register>(dlsym(d->handle, "nss_module_register"));
  if (reg == nullptr) {
    *error = "no nss_module_register in " + std::string(path);
    return false;
  }
  return register_module(reg, source, d, error);
}

const ns_mtab *find_method(const Dispatcher &d, const char *database, const char *method) {
  ns_mtab key{};
  key.database = database;
  key.name = method;
  return static_cast<const ns_mtab *>(
      bsearch(&key, d.table, d.size, sizeof d.table[0], compare_methods));
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

// The pointer types the adapters give the method data: int results, as the
// platform's adapters declare them.
template <typename Key, typename Record>
using KeyedLookup = int (*)(Key, Record *, char *, size_t, int *);
template <typename Record>
using NextRecord = int (*)(Record *, char *, size_t, int *);
using SetOrEnd = int (*)(void);

// Set once an enumeration ends (anything but a record or a buffer too
// small); until the next set or end, the module is not called again.  Per
// thread, as libc keeps it for threaded programs.
template <typename Record>
bool &enumeration_ended() {
  thread_local bool ended = false;
  return ended;
}

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
  int status = lookup(key, record, buffer, size, errnop);
  int result = compat_result(status, *errnop);  // *errnop only after the call
  if (result == NS_SUCCESS) *static_cast<Record **>(retval) = record;
  return result;
}

// getpwent_r, getgrent_r: (record, buffer, buffer size, int *error number).
template <typename Record>
int next(void *retval, void *mdata, va_list ap) {
  if (enumeration_ended<Record>()) return NS_NOTFOUND;
  Record *record = va_arg(ap, Record *);
  char *buffer = va_arg(ap, char *);
  size_t size = va_arg(ap, size_t);
  int *errnop = va_arg(ap, int *);
  auto step = reinterpret_cast<NextRecord<Record>>(mdata);
  int status = step(record, buffer, size, errnop);
  int result = compat_result(status, *errnop);
  if (result == NS_SUCCESS)
    *static_cast<Record **>(retval) = record;
  else if (result != NS_RETURN)
    enumeration_ended<Record>() = true;
  return result;
}

// setpwent, endpwent, setgrent, endgrent: whatever the caller passes (a
// "stay open" flag for the set methods) is not used, nor is what the
// function returns.
template <typename Record>
int set_or_end(void *mdata) {
  enumeration_ended<Record>() = false;
  reinterpret_cast<SetOrEnd>(mdata)();
  return NS_UNAVAIL;
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
int __nss_compat_setpwent(void *, void *mdata, va_list) {
  return vesk_test::set_or_end<struct passwd>(mdata);
}
int __nss_compat_endpwent(void *, void *mdata, va_list) {
  return vesk_test::set_or_end<struct passwd>(mdata);
}

int __nss_compat_getgrnam_r(void *retval, void *mdata, va_list ap) {
  return vesk_test::keyed<const char *, struct group>(retval, mdata, ap);
}
int __nss_compat_getgrgid_r(void *retval, void *mdata, va_list ap) {
  return vesk_test::keyed<gid_t, struct group>(retval, mdata, ap);
}
int __nss_compat_getgrent_r(void *retval, void *mdata, va_list ap) {
  return vesk_test::next<struct group>(retval, mdata, ap);
}
int __nss_compat_setgrent(void *, void *mdata, va_list) {
  return vesk_test::set_or_end<struct group>(mdata);
}
int __nss_compat_endgrent(void *, void *mdata, va_list) {
  return vesk_test::set_or_end<struct group>(mdata);
}

}  // extern "C"
