/*===- tests/integration/fixed_clock.c - A predictable unpack directory ---===//
//
// Preloaded into the Linux launcher by the hostile-environment tests, so
// that they know the unpack directory's name before the launcher starts and
// can plant something there first, as another user on a shared TMPDIR
// would by guessing or racing. VESKAR_FIXED_PID replaces getpid()'s answer
// and VESKAR_FIXED_SECONDS the wall clock's (CLOCK_REALTIME only); without
// them the calls go to the C library.
//
//===----------------------------------------------------------------------===*/
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

pid_t getpid(void) {
  const char *fixed = getenv("VESKAR_FIXED_PID");
  if (fixed != NULL)
    return (pid_t)atol(fixed);
  pid_t (*real)(void) = (pid_t(*)(void))dlsym(RTLD_NEXT, "getpid");
  return real();
}

int clock_gettime(clockid_t clock, struct timespec *now) {
  const char *fixed = getenv("VESKAR_FIXED_SECONDS");
  if (clock == CLOCK_REALTIME && fixed != NULL) {
    now->tv_sec = (time_t)atoll(fixed);
    now->tv_nsec = 0;
    return 0;
  }
  int (*real)(clockid_t, struct timespec *) =
      (int (*)(clockid_t, struct timespec *))dlsym(RTLD_NEXT, "clock_gettime");
  return real(clock, now);
}
