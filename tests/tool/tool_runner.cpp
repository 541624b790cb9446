#include "tool_runner.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "test_support.h"

namespace vesk_test {

ToolRun run_tool(const std::vector<std::string> &args, const ToolLimits &limits) {
  TempDir capture;
  std::string out_path = capture.file("out"), err_path = capture.file("err");
  std::vector<char *> argv;
  std::string tool = VESK_INDEX_TOOL;
  argv.push_back(tool.data());
  std::vector<std::string> copies(args);
  for (std::string &a : copies) argv.push_back(a.data());
  argv.push_back(nullptr);

  ToolRun run;
  pid_t pid = fork();
  if (pid == 0) {
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(127);
    umask(limits.umask);
    if (limits.file_size > 0) {
      struct rlimit rl = {static_cast<rlim_t>(limits.file_size),
                          static_cast<rlim_t>(limits.file_size)};
      if (setrlimit(RLIMIT_FSIZE, &rl) != 0) _exit(127);
    }
    execv(argv[0], argv.data());
    _exit(127);
  }
  int wstatus = 0;
  if (pid > 0 && waitpid(pid, &wstatus, 0) == pid && WIFEXITED(wstatus))
    run.status = WEXITSTATUS(wstatus);
  run.out = read_file(out_path);
  run.err = read_file(err_path);
  return run;
}

pid_t start_tool(const std::vector<std::string> &args) {
  std::vector<std::string> copies(args);
  copies.insert(copies.begin(), VESK_INDEX_TOOL);
  std::vector<char *> argv;
  for (std::string &a : copies) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_WRONLY);
    if (null < 0 || dup2(null, 1) < 0 || dup2(null, 2) < 0) _exit(127);
    execv(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

int wait_tool(pid_t pid) {
  int wstatus = 0;
  if (pid <= 0 || waitpid(pid, &wstatus, 0) != pid || !WIFEXITED(wstatus)) return -1;
  return WEXITSTATUS(wstatus);
}

std::vector<std::string> dir_names(const std::string &dir) {
  std::vector<std::string> names;
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) return names;
  while (struct dirent *e = readdir(d)) {
    std::string n = e->d_name;
    if (n != "." && n != "..") names.push_back(n);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace vesk_test
