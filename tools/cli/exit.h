// The exit statuses of every vesk-index program and command, and the one
// rule for combining them.
#pragma once

namespace vesk::tool {

// 0 all well (install: installed, or nothing to do); 1 problems found
// (build, check, status) or refused, nothing installed (install, sync,
// fetch, publish); 2 failure: usage, configuration, I/O, out of memory,
// another run updating (--no-wait); 3 installed, with problems reported.
enum Exit {
  kExitOk = 0,
  kExitProblems = 1,
  kExitRefused = 1,
  kExitFailure = 2,
  kExitInstalledWithProblems = 3,
};

// The status of a run made of several steps (two maps, several rounds):
// the most severe of theirs, in the order 2, 1, 3, 0.
constexpr int combine(int a, int b) {
  auto rank = [](int status) {
    return status == kExitFailure ? 3 : status == kExitProblems ? 2 : status == kExitOk ? 0 : 1;
  };
  return rank(a) >= rank(b) ? a : b;
}

}  // namespace vesk::tool
