// check_quietly(): vesk-index check's verdict without its report.  check
// prints to stdout and reports to stderr; both are diverted while it runs,
// and what it reported is sorted to the map each message names.
#include <fcntl.h>
#include <stdio.h>
#include <sys/mman.h>
#include <unistd.h>

#include "commands/status.h"

namespace vesk::tool {

namespace {

// The map a message names ("vesk-index: WHERE: TEXT", WHERE the map, a
// line of it or one of its indexes): the longer path that matches.
int map_named(const std::string &line, const std::string paths[2]) {
  const std::string prefix = "vesk-index: ";
  if (line.compare(0, prefix.size(), prefix) != 0) return -1;
  int best = -1;
  for (int i = 0; i < 2; ++i) {
    const std::string &p = paths[i];
    if (line.compare(prefix.size(), p.size(), p) != 0) continue;
    char next = line.size() > prefix.size() + p.size() ? line[prefix.size() + p.size()] : '\0';
    if ((next == ':' || next == '.') && (best < 0 || p.size() > paths[best].size())) best = i;
  }
  return best;
}

}  // namespace

void check_quietly(const std::string &passwd_map, const std::string &group_map,
                   IndexHealth *passwd, IndexHealth *group) {
  fflush(stdout);
  fflush(stderr);
  int saved_out = dup(1), saved_err = dup(2);
  int sink = open("/dev/null", O_WRONLY | O_CLOEXEC);
  int messages = memfd_create("vesk-check", MFD_CLOEXEC);
  int status = kExitFailure;
  if (saved_out >= 0 && saved_err >= 0 && sink >= 0 && messages >= 0 && dup2(sink, 1) >= 0 &&
      dup2(messages, 2) >= 0) {
    CheckOptions options;
    options.passwd_map = passwd_map;
    options.group_map = group_map;
    status = run_check(options);
    fflush(stdout);
    fflush(stderr);
  }
  if (saved_out >= 0) dup2(saved_out, 1), close(saved_out);
  if (saved_err >= 0) dup2(saved_err, 2), close(saved_err);
  if (sink >= 0) close(sink);

  IndexHealth *health[2] = {passwd, group};
  for (IndexHealth *h : health) *h = IndexHealth{status == kExitOk, ""};
  if (messages < 0) {
    for (IndexHealth *h : health) h->problem = h->usable ? "" : "can't run the check";
    return;
  }
  std::string text;
  char buffer[4096];
  ssize_t n;
  lseek(messages, 0, SEEK_SET);
  while ((n = read(messages, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
  close(messages);
  const std::string paths[2] = {passwd_map, group_map};
  bool named[2] = {false, false};
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    if (nl == std::string::npos) nl = text.size();
    std::string line = text.substr(start, nl - start);
    start = nl + 1;
    int i = map_named(line, paths);
    if (i < 0) continue;
    if (!named[i]) health[i]->problem = line.substr(12);
    named[i] = true;
  }
  // check says nothing against a map whose indexes are usable.
  if (status != kExitOk)
    for (int i = 0; i < 2; ++i) health[i]->usable = !named[i];
}

}  // namespace vesk::tool
