// Test support, loaded with LD_PRELOAD: makes fsync and fdatasync take
// SLOW_FSYNC_MS milliseconds longer, as a slow disk does, and a child the
// process forks go on SLOW_FORK_MS milliseconds later, as on a busy
// machine: the moments a cancel can race with, made wide enough to aim a
// cancel at from outside. It notes in the folder SLOW_MARKS (when set)
// when the process started, when a sync began, when its delay began and
// when it ended, when the process forked and when a SIGTERM reached its
// handler: one file per event holding the wall-clock time of its first
// occurrence in microseconds (the shell's $EPOCHREALTIME without its
// point), so a check can tell which moment a cancel hit.
// Only the process it is loaded into (and a child until it execs): it
// takes itself out of the environment, so the programs started go at
// their own pace.
// Any thread; the marks are async-signal-safe (the SIGTERM one is written
// in the handler).
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static long g_syncDelayMs = 0;
static long g_forkDelayMs = 0;
static char g_marks[PATH_MAX - 32];  // empty: no marks
static void (*g_termHandler)(int) = NULL;

static void Mark(const char* event) {
  if (!g_marks[0]) return;
  const int saved = errno;
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  unsigned long long us =
      (unsigned long long)now.tv_sec * 1000000ULL + (unsigned long long)now.tv_nsec / 1000ULL;
  char text[24];
  char* at = text + sizeof text;
  *--at = '\n';
  do {
    *--at = (char)('0' + us % 10);
    us /= 10;
  } while (us);
  char path[PATH_MAX];
  const size_t folder = strlen(g_marks), name = strlen(event);
  memcpy(path, g_marks, folder);
  path[folder] = '/';
  memcpy(path + folder + 1, event, name + 1);
  // The first occurrence only: the one a cancel is aimed at or races with.
  const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd >= 0) {
    if (write(fd, at, (size_t)(text + sizeof text - at)) < 0) {
    }
    close(fd);
  }
  errno = saved;
}

// The whole delay, signals or not: a sync in progress is not interrupted
// by a signal either; the handler runs when it returns.
static void Delay(long ms) {
  if (ms <= 0) return;
  struct timespec until;
  clock_gettime(CLOCK_MONOTONIC, &until);
  until.tv_sec += ms / 1000;
  until.tv_nsec += (ms % 1000) * 1000000L;
  if (until.tv_nsec >= 1000000000L) {
    until.tv_sec += 1;
    until.tv_nsec -= 1000000000L;
  }
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, NULL) == EINTR) {
  }
}

__attribute__((constructor)) static void Start(void) {
  const char* delay = getenv("SLOW_FSYNC_MS");
  if (delay) g_syncDelayMs = atol(delay);
  delay = getenv("SLOW_FORK_MS");
  if (delay) g_forkDelayMs = atol(delay);
  const char* marks = getenv("SLOW_MARKS");
  if (marks) snprintf(g_marks, sizeof g_marks, "%s", marks);
  unsetenv("LD_PRELOAD");
  Mark("start");
}

static int Sync(int fd, const char* name) {
  int (*real)(int) = (int (*)(int))dlsym(RTLD_NEXT, name);
  Mark("sync-begin");
  const int result = real ? real(fd) : 0;
  // The delay after the disk's own time, so that its end can be aimed at.
  Mark("sync-delay");
  Delay(g_syncDelayMs);
  Mark("sync-end");
  return result;
}

int fsync(int fd) { return Sync(fd, "fsync"); }
int fdatasync(int fd) { return Sync(fd, "fdatasync"); }

pid_t fork(void) {
  pid_t (*real)(void) = (pid_t (*)(void))dlsym(RTLD_NEXT, "fork");
  Mark("fork");
  const pid_t child = real ? real() : -1;
  if (child == 0) Delay(g_forkDelayMs);
  return child;
}

static void OnTerm(int signal) {
  Mark("term");
  if (g_termHandler) g_termHandler(signal);
}

// A plain SIGTERM handler is wrapped so that the signal's arrival is
// marked; the program's handler still runs, and nothing else changes.
int sigaction(int signal, const struct sigaction* action, struct sigaction* previous) {
  int (*real)(int, const struct sigaction*, struct sigaction*) =
      (int (*)(int, const struct sigaction*, struct sigaction*))dlsym(RTLD_NEXT, "sigaction");
  if (!real) {
    errno = ENOSYS;
    return -1;
  }
  if (signal != SIGTERM || !action || (action->sa_flags & SA_SIGINFO) ||
      action->sa_handler == SIG_DFL || action->sa_handler == SIG_IGN)
    return real(signal, action, previous);
  struct sigaction wrapped = *action;
  g_termHandler = action->sa_handler;
  wrapped.sa_handler = OnTerm;
  return real(signal, &wrapped, previous);
}
