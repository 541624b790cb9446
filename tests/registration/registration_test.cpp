// The registration table, and the module used through it the way the BSD
// dispatcher uses it: a copy of the module built with the registration is
// loaded as source "nssvesk", its table sorted in place, and every call goes
// through the table's adapters (see dispatcher.h).
#include <dlfcn.h>
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "dispatcher.h"
#include "test_support.h"

namespace {

using vesk_test::Dispatcher;
using vesk_test::Register;
using vesk_test::dispatch;
using vesk_test::TempDir;
using vesk_test::write_file;

struct Expected {
  const char *database;
  const char *method;
  nss_method adapter;
  const char *function;
};

// The table, in the module's order (the dispatcher sorts it).
const Expected kTable[] = {
    {"passwd", "getpwnam_r", __nss_compat_getpwnam_r, "_nss_vesk_getpwnam_r"},
    {"passwd", "getpwuid_r", __nss_compat_getpwuid_r, "_nss_vesk_getpwuid_r"},
    {"passwd", "getpwent_r", __nss_compat_getpwent_r, "_nss_vesk_getpwent_r"},
    {"passwd", "endpwent", __nss_compat_endpwent, "_nss_vesk_endpwent"},
    {"passwd", "setpwent", __nss_compat_setpwent, "_nss_vesk_setpwent"},
    {"group", "getgrnam_r", __nss_compat_getgrnam_r, "_nss_vesk_getgrnam_r"},
    {"group", "getgrgid_r", __nss_compat_getgrgid_r, "_nss_vesk_getgrgid_r"},
    {"group", "getgrent_r", __nss_compat_getgrent_r, "_nss_vesk_getgrent_r"},
    {"group", "endgrent", __nss_compat_endgrent, "_nss_vesk_endgrent"},
    {"group", "setgrent", __nss_compat_setgrent, "_nss_vesk_setgrent"},
};

void unload_stub(ns_mtab *, unsigned int) {}

// True if [address, address + size) lies in one writable mapping of this
// process.
bool writable(const void *address, size_t size) {
  std::ifstream maps("/proc/self/maps");
  auto begin = reinterpret_cast<uintptr_t>(address);
  std::string line;
  while (std::getline(maps, line)) {
    unsigned long low = 0, high = 0;
    char perms[5] = {};
    if (sscanf(line.c_str(), "%lx-%lx %4s", &low, &high, perms) != 3) continue;
    if (begin >= low && begin + size <= high) return perms[1] == 'w';
  }
  return false;
}

// What a registration returns in ReadOnlyTableFaultsTheRegistration.
ns_mtab *read_only_table = nullptr;
ns_mtab *register_read_only(const char *, unsigned int *size, nss_module_unregister_fn *unload) {
  *size = 10;
  *unload = nullptr;
  return read_only_table;
}

const std::string kBigGecos(3000, 'G');

std::string wide_members() {
  std::string m;
  for (int i = 0; i < 400; ++i) m += (i ? ",member" : "member") + std::to_string(i);
  return m;
}

class Registration : public ::testing::Test {
 protected:
  void SetUp() override {
    // The registration sorts the table in place, so a table in read-only
    // memory faults there: said first, and plainly.
    void *handle = dlopen(VESK_DISPATCH_MODULE, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    auto reg = reinterpret_cast<Register>(dlsym(handle, "nss_module_register"));
    ASSERT_NE(reg, nullptr);
    unsigned int size = 0;
    nss_module_unregister_fn unload = nullptr;
    ns_mtab *table = reg("nssvesk", &size, &unload);
    ASSERT_TRUE(table != nullptr && writable(table, size * sizeof table[0]))
        << "the method table is not writable: the dispatcher sorts it in place";
    dlclose(handle);
    std::string error;
    ASSERT_TRUE(vesk_test::load_module(VESK_DISPATCH_MODULE, "nssvesk", &d, &error)) << error;
    passwd_map = dir.file("passwd.vesk");
    group_map = dir.file("group.vesk");
    write_file(passwd_map,
               "root:x:0:0:root:/root:/bin/sh\n"
               "alice:x:1001:1001:Alice:/home/alice:/bin/bash\n"
               "bob:x:1002:100:Bob:/home/bob:/bin/sh\n"
               "big:x:1003:100:" + kBigGecos + ":/home/big:/bin/sh\n"
               "carol:x:1004:100:Carol:/home/carol:/bin/sh\n");
    write_file(group_map,
               "root:x:0:\n"
               "staff:x:100:alice,bob\n"
               "wide:x:200:" + wide_members() + "\n"
               "users:x:300:carol\n");
    vesk_test::write_indexes(passwd_map, vesk_test::Db::Passwd);
    vesk_test::write_indexes(group_map, vesk_test::Db::Group);
    set_paths(passwd_map, group_map);
  }

  void set_paths(const std::string &passwd, const std::string &group) {
    using Setter = void (*)(const char *);
    auto pw = reinterpret_cast<Setter>(dlsym(d.handle, "_nss_vesk_setpwent_path"));
    auto gr = reinterpret_cast<Setter>(dlsym(d.handle, "_nss_vesk_setgrent_path"));
    ASSERT_TRUE(pw && gr);
    pw(passwd.c_str());
    gr(group.c_str());
  }

  // Every name of the database's enumeration, through the dispatcher.
  std::vector<std::string> enumerate(const char *database) {
    bool group = strcmp(database, "group") == 0;
    EXPECT_EQ(dispatch(d, database, group ? "setgrent" : "setpwent", nullptr, 0), NS_UNAVAIL);
    std::vector<std::string> names;
    std::vector<char> buf(16384);
    for (int i = 0; i < 100; ++i) {
      struct passwd pw;
      struct group gr;
      void *record = nullptr;
      int err = 0;
      int rc = group ? dispatch(d, database, "getgrent_r", &record, &gr, buf.data(), buf.size(), &err)
                     : dispatch(d, database, "getpwent_r", &record, &pw, buf.data(), buf.size(), &err);
      if (rc != NS_SUCCESS) {
        EXPECT_EQ(rc, NS_NOTFOUND);
        EXPECT_EQ(err, 0);
        break;
      }
      EXPECT_EQ(record, group ? static_cast<void *>(&gr) : static_cast<void *>(&pw));
      names.push_back(group ? gr.gr_name : pw.pw_name);
    }
    EXPECT_EQ(dispatch(d, database, group ? "endgrent" : "endpwent", nullptr), NS_UNAVAIL);
    return names;
  }

  Dispatcher d;
  TempDir dir;
  std::string passwd_map, group_map;
};

// A copy of the module file, loaded apart from the fixture's (whose table
// the fixture's registration has sorted already): its table as the module
// defines it, in writable memory, then sorted in place by the registration.
TEST_F(Registration, TableHoldsTheTenMethodsInOrderWiredToTheirFunctions) {
  std::string copy = dir.file("nss_nssvesk.so.1");
  write_file(copy, vesk_test::read_file(VESK_DISPATCH_MODULE));
  void *handle = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr) << dlerror();
  unsigned int size = 12345;
  nss_module_unregister_fn unload = unload_stub;
  auto reg = reinterpret_cast<Register>(dlsym(handle, "nss_module_register"));
  ASSERT_NE(reg, nullptr);
  ns_mtab *table = reg("nssvesk", &size, &unload);
  ASSERT_NE(table, d.table);
  ASSERT_EQ(size, 10u);
  EXPECT_EQ(unload, nullptr);
  int passwd = 0, group = 0;
  for (unsigned int i = 0; i < size; ++i) {
    SCOPED_TRACE(i);
    EXPECT_STREQ(table[i].database, kTable[i].database);
    EXPECT_STREQ(table[i].name, kTable[i].method);
    EXPECT_EQ(table[i].method, kTable[i].adapter);
    void *function = dlsym(handle, kTable[i].function);
    ASSERT_NE(function, nullptr) << kTable[i].function;
    EXPECT_EQ(table[i].mdata, function) << kTable[i].function;
    passwd += strcmp(table[i].database, "passwd") == 0;
    group += strcmp(table[i].database, "group") == 0;
  }
  EXPECT_EQ(passwd, 5);
  EXPECT_EQ(group, 5);

  Dispatcher other;
  std::string error;
  ASSERT_TRUE(vesk_test::register_module(reg, "nssvesk", &other, &error)) << error;
  EXPECT_EQ(other.table, table);
  for (unsigned int i = 1; i < size; ++i)
    EXPECT_LT(vesk_test::compare_methods(&table[i - 1], &table[i]), 0) << i;
  for (const Expected &e : kTable) {
    const ns_mtab *entry = vesk_test::find_method(other, e.database, e.method);
    ASSERT_NE(entry, nullptr) << e.database << " " << e.method;
    EXPECT_EQ(entry->method, e.adapter);
    EXPECT_EQ(entry->mdata, dlsym(handle, e.function));
  }
  dlclose(handle);
}

// The same ten entries in read-only memory, as a const table would be
// placed: the registration's sort faults, as the platform's does.
TEST_F(Registration, ReadOnlyTableFaultsTheRegistration) {
  size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  void *memory = mmap(nullptr, page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(memory, MAP_FAILED);
  auto *table = static_cast<ns_mtab *>(memory);
  for (unsigned int i = 0; i < d.size; ++i) table[i] = d.table[d.size - 1 - i];
  ASSERT_EQ(mprotect(memory, page, PROT_READ), 0);
  read_only_table = table;
  Dispatcher other;
  std::string error;
  EXPECT_DEATH(vesk_test::register_module(register_read_only, "nssvesk", &other, &error), "");
  munmap(memory, page);
}

TEST_F(Registration, RepeatedCallsGiveTheSameTableWhateverTheSourceName) {
  auto reg = reinterpret_cast<Register>(dlsym(d.handle, "nss_module_register"));
  std::vector<ns_mtab> first(d.table, d.table + d.size);
  for (const char *source : {"nssvesk", "something else", ""}) {
    unsigned int size = 0;
    nss_module_unregister_fn unload = unload_stub;
    ns_mtab *table = reg(source, &size, &unload);
    EXPECT_EQ(table, d.table) << source;
    EXPECT_EQ(size, 10u);
    EXPECT_EQ(unload, nullptr);
    for (unsigned int i = 0; i < 10; ++i) {
      EXPECT_EQ(table[i].database, first[i].database);
      EXPECT_EQ(table[i].name, first[i].name);
      EXPECT_EQ(table[i].method, first[i].method);
      EXPECT_EQ(table[i].mdata, first[i].mdata);
    }
  }
}

// The module with the registration exports the documented names plus
// nss_module_register; the glibc module, which has no adapters to bind to,
// leaves the registration out.
TEST_F(Registration, OnlyTheDispatcherModuleExportsTheRegistration) {
  std::ifstream in(VESK_EXPORTS_MAP);
  std::string map((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  map = std::regex_replace(map, std::regex("/\\*[\\s\\S]*?\\*/"), "");
  std::string globals = map.substr(0, map.find("local:"));
  std::vector<std::string> expected = {"nss_module_register"};
  std::regex name("([A-Za-z_][A-Za-z0-9_]*)\\s*;");
  for (std::sregex_iterator it(globals.begin(), globals.end(), name), end; it != end; ++it)
    expected.push_back((*it)[1]);
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(vesk_test::defined_dynamic_symbols(VESK_DISPATCH_MODULE), expected);

  void *glibc_module = dlopen(VESK_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(glibc_module, nullptr) << dlerror();
  EXPECT_EQ(dlsym(glibc_module, "nss_module_register"), nullptr);
  dlclose(glibc_module);
}

TEST_F(Registration, UsersByNameAndId) {
  struct passwd pw;
  void *record = nullptr;
  char buf[1024];
  int err = 0;
  ASSERT_EQ(dispatch(d, "passwd", "getpwnam_r", &record, "alice", &pw, buf, sizeof buf, &err),
            NS_SUCCESS);
  EXPECT_EQ(record, &pw);
  EXPECT_STREQ(pw.pw_name, "alice");
  EXPECT_EQ(pw.pw_uid, 1001u);
  EXPECT_STREQ(pw.pw_dir, "/home/alice");

  ASSERT_EQ(dispatch(d, "passwd", "getpwuid_r", &record, static_cast<uid_t>(1002), &pw, buf,
                     sizeof buf, &err),
            NS_SUCCESS);
  EXPECT_STREQ(pw.pw_name, "bob");
  EXPECT_EQ(pw.pw_gid, 100u);

  record = nullptr;
  EXPECT_EQ(dispatch(d, "passwd", "getpwnam_r", &record, "nobody", &pw, buf, sizeof buf, &err),
            NS_NOTFOUND);
  EXPECT_EQ(dispatch(d, "passwd", "getpwuid_r", &record, static_cast<uid_t>(4242), &pw, buf,
                     sizeof buf, &err),
            NS_NOTFOUND);
  EXPECT_EQ(record, nullptr);
}

TEST_F(Registration, GroupsByNameAndId) {
  struct group gr;
  void *record = nullptr;
  std::vector<char> buf(NSS_VESK_GRGID_MIN_BUFLEN);
  int err = 0;
  ASSERT_EQ(dispatch(d, "group", "getgrnam_r", &record, "staff", &gr, buf.data(), buf.size(),
                     &err),
            NS_SUCCESS);
  EXPECT_EQ(record, &gr);
  EXPECT_EQ(gr.gr_gid, 100u);
  ASSERT_NE(gr.gr_mem[1], nullptr);
  EXPECT_STREQ(gr.gr_mem[0], "alice");
  EXPECT_STREQ(gr.gr_mem[1], "bob");
  EXPECT_EQ(gr.gr_mem[2], nullptr);

  ASSERT_EQ(dispatch(d, "group", "getgrgid_r", &record, static_cast<gid_t>(300), &gr, buf.data(),
                     buf.size(), &err),
            NS_SUCCESS);
  EXPECT_STREQ(gr.gr_name, "users");

  EXPECT_EQ(dispatch(d, "group", "getgrnam_r", &record, "nogroup", &gr, buf.data(), buf.size(),
                     &err),
            NS_NOTFOUND);
  EXPECT_EQ(dispatch(d, "group", "getgrgid_r", &record, static_cast<gid_t>(999), &gr, buf.data(),
                     buf.size(), &err),
            NS_NOTFOUND);
}

TEST_F(Registration, EnumeratesUsersAndGroupsInFileOrder) {
  EXPECT_EQ(enumerate("passwd"), (std::vector<std::string>{"root", "alice", "bob", "big", "carol"}));
  EXPECT_EQ(enumerate("group"), (std::vector<std::string>{"root", "staff", "wide", "users"}));
}

// A record larger than the caller's buffer ends the dispatch with NS_RETURN
// and ERANGE, and the same call with a larger buffer then succeeds.
TEST_F(Registration, RecordLargerThanTheFirstBufferReturnsThenSucceeds) {
  struct passwd pw;
  struct group gr;
  void *record = nullptr;
  int err = 0;
  std::vector<char> small(256), large(NSS_VESK_GRGID_MIN_BUFLEN);

  EXPECT_EQ(dispatch(d, "passwd", "getpwnam_r", &record, "big", &pw, small.data(), small.size(),
                     &err),
            NS_RETURN);
  EXPECT_EQ(err, ERANGE);
  ASSERT_EQ(dispatch(d, "passwd", "getpwnam_r", &record, "big", &pw, large.data(), large.size(),
                     &err),
            NS_SUCCESS);
  EXPECT_EQ(pw.pw_gecos, kBigGecos);

  err = 0;
  EXPECT_EQ(dispatch(d, "passwd", "getpwuid_r", &record, static_cast<uid_t>(1003), &pw,
                     small.data(), small.size(), &err),
            NS_RETURN);
  EXPECT_EQ(err, ERANGE);

  err = 0;
  EXPECT_EQ(dispatch(d, "group", "getgrnam_r", &record, "wide", &gr, small.data(), small.size(),
                     &err),
            NS_RETURN);
  EXPECT_EQ(err, ERANGE);
  ASSERT_EQ(dispatch(d, "group", "getgrnam_r", &record, "wide", &gr, large.data(), large.size(),
                     &err),
            NS_SUCCESS);
  EXPECT_STREQ(gr.gr_mem[399], "member399");

  // getgrgid_r wants a buffer of at least NSS_VESK_GRGID_MIN_BUFLEN.
  err = 0;
  EXPECT_EQ(dispatch(d, "group", "getgrgid_r", &record, static_cast<gid_t>(100), &gr,
                     small.data(), small.size(), &err),
            NS_RETURN);
  EXPECT_EQ(err, ERANGE);

  // During enumeration the retry yields the same record, not the next one.
  ASSERT_EQ(dispatch(d, "group", "setgrent", nullptr, 0), NS_UNAVAIL);
  std::vector<std::string> names;
  int returns = 0;
  for (int i = 0; i < 20; ++i) {
    err = 0;
    int rc = dispatch(d, "group", "getgrent_r", &record, &gr, small.data(), small.size(), &err);
    if (rc == NS_RETURN) {
      EXPECT_EQ(err, ERANGE);
      ++returns;
      rc = dispatch(d, "group", "getgrent_r", &record, &gr, large.data(), large.size(), &err);
    }
    if (rc != NS_SUCCESS) break;
    names.push_back(gr.gr_name);
  }
  EXPECT_EQ(dispatch(d, "group", "endgrent", nullptr), NS_UNAVAIL);
  EXPECT_EQ(returns, 1);
  EXPECT_EQ(names, (std::vector<std::string>{"root", "staff", "wide", "users"}));
}

// Without map files the set functions report the source unavailable while
// the end functions still succeed (libc's set and end adapters answer
// NS_UNAVAIL whatever they return, so these are called as the adapters call
// them), and lookups and enumeration are unavailable too.
TEST_F(Registration, MissingMapsMakeTheSourceUnavailable) {
  set_paths(dir.file("absent.passwd"), dir.file("absent.group"));
  auto status = [this](const char *database, const char *method) {
    const ns_mtab *entry = vesk_test::find_method(d, database, method);
    return entry ? reinterpret_cast<int (*)(void)>(entry->mdata)() : 42;
  };
  struct passwd pw;
  struct group gr;
  void *record = nullptr;
  std::vector<char> buf(NSS_VESK_GRGID_MIN_BUFLEN);
  int err = 0;
  EXPECT_EQ(status("passwd", "setpwent"), NSS_STATUS_UNAVAIL);
  EXPECT_EQ(dispatch(d, "passwd", "setpwent", nullptr, 0), NS_UNAVAIL);
  EXPECT_EQ(dispatch(d, "passwd", "getpwent_r", &record, &pw, buf.data(), buf.size(), &err),
            NS_UNAVAIL);
  EXPECT_EQ(status("passwd", "endpwent"), NSS_STATUS_SUCCESS);
  EXPECT_EQ(dispatch(d, "passwd", "getpwnam_r", &record, "alice", &pw, buf.data(), buf.size(),
                     &err),
            NS_UNAVAIL);
  EXPECT_EQ(status("group", "setgrent"), NSS_STATUS_UNAVAIL);
  EXPECT_EQ(dispatch(d, "group", "setgrent", nullptr, 0), NS_UNAVAIL);
  EXPECT_EQ(dispatch(d, "group", "getgrent_r", &record, &gr, buf.data(), buf.size(), &err),
            NS_UNAVAIL);
  EXPECT_EQ(status("group", "endgrent"), NSS_STATUS_SUCCESS);
  EXPECT_EQ(dispatch(d, "group", "getgrgid_r", &record, static_cast<gid_t>(100), &gr, buf.data(),
                     buf.size(), &err),
            NS_UNAVAIL);
  EXPECT_EQ(record, nullptr);
}

}  // namespace
