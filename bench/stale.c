/* vesk-bench-stale: how long a changed passwd map takes to show through
 * glibc (and whatever caches in front of the module).
 *
 *   vesk-bench-stale [--timeout S] appear|vanish NAME CMD [ARG...]
 *
 * Looks NAME up once with getpwnam_r: for "appear" it must not be found,
 * for "vanish" it must be, and a caching daemon now holds that answer.  Then
 * runs CMD (its output goes to stderr), which puts the changed map in place,
 * and from the moment CMD has exited with status 0 looks NAME up again, at
 * once and then every millisecond, until the answer has changed or S seconds
 * (default 30) have passed.  Prints one line of tab-separated key=value pairs:
 *
 *   change      appear or vanish
 *   command_ms  how long CMD took
 *   shown_ms    from CMD's exit to the first lookup with the new answer
 *               (the timeout where none came)
 *   lookups     lookups made after CMD
 *   timed_out   1 when the answer had not changed after S seconds
 *
 * Exit status 0 (also on a timeout), 2 on a usage error, a failed
 * precondition or a failed CMD. */
#define _GNU_SOURCE
#include <errno.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static char buffer[1 << 16];

static double now_ms(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec * 1e3 + (double)ts.tv_nsec / 1e6;
}

static int found(const char *name) {
  struct passwd pw, *result = NULL;
  return getpwnam_r(name, &pw, buffer, sizeof buffer, &result) == 0 && result != NULL;
}

int main(int argc, char **argv) {
  double timeout_s = 30.0;
  int i = 1;
  if (i + 1 < argc && strcmp(argv[i], "--timeout") == 0) {
    timeout_s = strtod(argv[i + 1], NULL);
    i += 2;
  }
  if (argc - i < 3 || (strcmp(argv[i], "appear") != 0 && strcmp(argv[i], "vanish") != 0)) {
    fprintf(stderr, "usage: %s [--timeout S] appear|vanish NAME CMD [ARG...]\n", argv[0]);
    return 2;
  }
  const char *change = argv[i];
  const char *name = argv[i + 1];
  char **cmd = &argv[i + 2];
  int want = strcmp(change, "appear") == 0; /* the answer CMD should bring */

  if (found(name) == want) {
    fprintf(stderr, "vesk-bench-stale: %s is %s before the change\n", name,
            want ? "found" : "not found");
    return 2;
  }

  double t0 = now_ms();
  pid_t pid = fork();
  if (pid < 0) return 2;
  if (pid == 0) {
    dup2(STDERR_FILENO, STDOUT_FILENO); /* stdout carries only the result line */
    execvp(cmd[0], cmd);
    fprintf(stderr, "vesk-bench-stale: %s: %s\n", cmd[0], strerror(errno));
    _exit(127);
  }
  int status;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return 2;
  }
  double t1 = now_ms();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    fprintf(stderr, "vesk-bench-stale: %s failed\n", cmd[0]);
    return 2;
  }

  long lookups = 0;
  int timed_out = 0;
  double shown;
  for (;;) {
    ++lookups;
    int now = found(name);
    shown = now_ms() - t1;
    if (now == want) break;
    if (shown > timeout_s * 1e3) {
      timed_out = 1;
      break;
    }
    struct timespec pause = {0, 1000000};
    nanosleep(&pause, NULL);
  }
  printf("change=%s\tcommand_ms=%.3f\tshown_ms=%.3f\tlookups=%ld\ttimed_out=%d\n", change, t1 - t0,
         shown, lookups, timed_out);
  return 0;
}
