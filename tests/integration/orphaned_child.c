/*===- tests/integration/orphaned_child.c - A parent that seems gone ------===//
//
// Preloaded into the Linux launcher (and so into its child, which inherits
// the preload), with VESKAR_SEEM_ORPHANED set: getppid() answers 1, as it
// does for a process whose parent has died and which init has adopted. The
// launcher's child asks it right after it has set its parent-death signal,
// between vfork and exec: a parent already gone by then would never send
// that signal. The answer comes straight from the kernel otherwise, with
// no dynamic lookup, which is not safe in a vfork child.
//
//===----------------------------------------------------------------------===*/
#define _GNU_SOURCE
#include <stdlib.h>
#include <sys/syscall.h>
#include <unistd.h>

pid_t getppid(void) {
  if (getenv("VESKAR_SEEM_ORPHANED") != NULL)
    return 1;
  return (pid_t)syscall(SYS_getppid);
}
