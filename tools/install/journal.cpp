// install's journal: the renames that put a set of maps and their indexes
// in place, written down before the first of them, so that a run killed
// between two renames (passwd at the new generation, group at the old one
// with its new index) is completed by the next run rather than left mixed.
//
// The journal is the file ".NAME.journal" beside the passwd map (NAME its
// name), flushed before the first rename: one line "TEMP FINAL" per
// rename, in order (paths without newlines; TEMP a temporary file of
// FINAL's, already flushed).  It is removed once every rename is done and
// the directories are flushed.  Terminating signals wait while the renames
// run, so only SIGKILL or a crash leave a journal behind.
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "core/index_tool.h"
#include "config/state.h"

namespace vesk::tool {

namespace {

// TEMP is a name create_temp gives for FINAL: beside it, ".BASE.tmp-XXXXXX".
bool temp_of(const std::string &temp, const std::string &final_path) {
  std::string prefix = directory_of(final_path) + "/." + base_name(final_path) + ".tmp-";
  return temp.size() == prefix.size() + 6 && temp.compare(0, prefix.size(), prefix) == 0;
}

struct SignalsHeld {
  sigset_t old;
  SignalsHeld() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&set, sig);
    pthread_sigmask(SIG_BLOCK, &set, &old);
  }
  ~SignalsHeld() { pthread_sigmask(SIG_SETMASK, &old, nullptr); }
};

}  // namespace

std::string journal_path(const std::string &passwd_map) {
  return directory_of(passwd_map) + "/." + base_name(passwd_map) + ".journal";
}

bool commit_set(std::vector<PendingIndex> *pending, const std::string &journal, std::string *error,
                void (*before_rename)(const std::string &path, void *arg), void *arg) {
  std::string text;
  for (const PendingIndex &p : *pending) {
    if (p.temp.find_first_of(" \n") != std::string::npos ||
        p.path.find_first_of(" \n") != std::string::npos) {
      text.clear();  // such paths are renamed without a journal
      break;
    }
    text += p.temp + " " + p.path + "\n";
  }
  // From the journal's first byte to the last rename: a signal that came
  // between them would remove files the journal still names.
  SignalsHeld held;
  if (!text.empty() && !replace_file(journal, text, 0600, error)) {
    for (PendingIndex &p : *pending) discard(&p);
    return false;
  }
  bool ok = commit(pending, error, before_rename, arg);
  // A failed rename leaves the journal to the next run, which completes
  // what it can; a clean run removes it.
  if (ok && !text.empty() && unlink(journal.c_str()) != 0 && errno != ENOENT) {
    *error = journal + ": " + strerror(errno);
    ok = false;
  }
  return ok;
}

bool replay_journal(const std::string &journal, bool *completed, std::string *error) {
  *completed = false;
  std::string text;
  if (!read_small_file(journal, 65536, &text, error)) return errno == ENOENT;
  std::vector<std::string> dirs;
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    if (nl == std::string::npos) break;  // a journal cut short was never complete
    std::string line = text.substr(start, nl - start);
    start = nl + 1;
    size_t space = line.find(' ');
    if (space == std::string::npos) continue;
    std::string temp = line.substr(0, space), final_path = line.substr(space + 1);
    // Only a temporary file of the very file it replaces is renamed.
    if (!temp_of(temp, final_path)) continue;
    struct stat st;
    if (lstat(temp.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (rename(temp.c_str(), final_path.c_str()) != 0) {
      *error = "can't complete an interrupted install: " + final_path + ": " + strerror(errno);
      return false;
    }
    *completed = true;
    std::string dir = directory_of(final_path);
    if (std::find(dirs.begin(), dirs.end(), dir) == dirs.end()) dirs.push_back(dir);
  }
  for (const std::string &dir : dirs)
    if (!sync_directory(dir, error)) return false;
  if (unlink(journal.c_str()) != 0 && errno != ENOENT) {
    *error = journal + ": " + strerror(errno);
    return false;
  }
  return true;
}

}  // namespace vesk::tool
