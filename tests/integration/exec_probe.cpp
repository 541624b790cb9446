// A program that resolves users and groups through the name-service switch
// and then executes a child, as a daemon or a login does.  The child must
// inherit no descriptor of the module.
//
//   exec_probe USER UID GROUP GID ENUM_USER ENUM_GROUP
//
// looks up USER and UID with getpwnam/getpwuid, GROUP and GID with
// getgrnam/getgrgid, USER's groups with getgrouplist, then enumerates passwd until ENUM_USER and group until
// ENUM_GROUP and leaves both enumerations open (so the module's enumeration
// streams stay open).  It prints "parent PATH" for each of its descriptors
// that names a map or index file, then executes itself as the child, which
// prints "child PATH" for each such descriptor it holds and "child done".
#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

bool is_module_file(const std::string &target) {
  return target.find(".vesk") != std::string::npos;
}

// Targets of this process's descriptors that name a map or an index, sorted.
std::vector<std::string> module_descriptors() {
  std::vector<std::string> found;
  DIR *dir = opendir("/proc/self/fd");
  if (dir == nullptr) {
    perror("opendir /proc/self/fd");
    exit(2);
  }
  while (struct dirent *e = readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    std::string link = std::string("/proc/self/fd/") + e->d_name;
    char target[4096];
    ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n < 0) continue;  // the directory's own descriptor, already gone
    target[n] = '\0';
    if (is_module_file(target)) found.emplace_back(target);
  }
  closedir(dir);
  std::sort(found.begin(), found.end());
  return found;
}

void print_descriptors(const char *who) {
  for (const std::string &t : module_descriptors()) printf("%s %s\n", who, t.c_str());
}

void fail(const char *what) {
  fprintf(stderr, "exec_probe: %s failed\n", what);
  exit(1);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 2 && strcmp(argv[1], "--child") == 0) {
    print_descriptors("child");
    printf("child done\n");
    return 0;
  }
  if (argc != 7) {
    fprintf(stderr, "usage: exec_probe USER UID GROUP GID ENUM_USER ENUM_GROUP\n");
    return 2;
  }
  struct passwd *user = getpwnam(argv[1]);
  if (user == nullptr) fail("getpwnam");
  gid_t groups[64];
  int ngroups = 64;
  if (getgrouplist(argv[1], user->pw_gid, groups, &ngroups) < 0) fail("getgrouplist");
  if (getpwuid(static_cast<uid_t>(strtoul(argv[2], nullptr, 10))) == nullptr) fail("getpwuid");
  if (getgrnam(argv[3]) == nullptr) fail("getgrnam");
  if (getgrgid(static_cast<gid_t>(strtoul(argv[4], nullptr, 10))) == nullptr) fail("getgrgid");

  setpwent();
  struct passwd *pw;
  while ((pw = getpwent()) != nullptr && strcmp(pw->pw_name, argv[5]) != 0) {
  }
  if (pw == nullptr) fail("getpwent");
  setgrent();
  struct group *gr;
  while ((gr = getgrent()) != nullptr && strcmp(gr->gr_name, argv[6]) != 0) {
  }
  if (gr == nullptr) fail("getgrent");

  print_descriptors("parent");
  fflush(stdout);
  char child_arg[] = "--child";
  char *child_argv[] = {argv[0], child_arg, nullptr};
  execv("/proc/self/exe", child_argv);
  perror("execv");
  return 1;
}
