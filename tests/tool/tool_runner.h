// Runs the vesk-index binary in a child process and collects what it says.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace vesk_test {

struct ToolRun {
  int status = -1;  // exit status, or -1 if the tool did not exit normally
  std::string out;
  std::string err;
};

struct ToolLimits {
  off_t file_size = 0;  // RLIMIT_FSIZE for the child when non-zero
  mode_t umask = 022;
};

ToolRun run_tool(const std::vector<std::string> &args, const ToolLimits &limits = {});

// Starts the tool with its output discarded; returns its process id.
pid_t start_tool(const std::vector<std::string> &args);
// Waits for it: its exit status, or -1 if it did not exit normally.
int wait_tool(pid_t pid);

// Names in `dir` other than "." and "..", sorted.
std::vector<std::string> dir_names(const std::string &dir);

}  // namespace vesk_test
