//===- platform/posix/entry.cpp - The process entry on Linux ------------===//
//
// Before anything else, the signal actions and the signal mask the
// launcher was started with are recorded, and the child starts with exactly
// those (CreateProcessW, platform/posix/process.cpp): a signal ignored by
// whoever started the launcher (SIGPIPE under a service manager, SIGHUP
// under nohup) stays ignored for the program, and one at its default stays
// at its default, whatever the launcher does with it for itself.
//
// Then the signals the launcher could raise on itself while it writes are
// ignored, so that each such write fails with an error and takes the
// launcher's ordinary path (its one line, status 2, what it wrote removed)
// instead of killing it silently half-way:
//   SIGXFSZ  a file grows past the size limit (ulimit -f): the write fails
//            with EFBIG and the message names the file;
//   SIGPIPE  a message written to a pipe nobody reads any more: the write
//            fails with EPIPE, and the status stays 2, not 141.
// SIGCHLD goes the other way: started ignored (a parent may leave it so),
// the kernel would reap the child the moment it ends and take its status
// with it, so for the launcher itself it goes back to its default, which
// discards the signal all the same.
// Considered and left as they were: SIGXCPU (a CPU-time limit is meant to
// end the process, and the hard limit's SIGKILL would follow anyway),
// SIGBUS and SIGSEGV (a fault: nothing safe is left to do), SIGTTOU (stops
// a background launcher writing to its terminal, which a SIGCONT resumes;
// it never ends it), SIGALRM (the launcher sets no alarm).
//
//===----------------------------------------------------------------------===//
#include <signal.h>
#include <string.h>

#include "platform/posix/internal.h"

int main(int argc, char **argv) {
  veskar_posix::NoteInheritedSignals();
  struct sigaction ignore;
  memset(&ignore, 0, sizeof ignore);
  ignore.sa_handler = SIG_IGN;
  for (int s : veskar_posix::kSelfRaisedSignals)
    sigaction(s, &ignore, nullptr);
  struct sigaction byDefault;
  memset(&byDefault, 0, sizeof byDefault);
  byDefault.sa_handler = SIG_DFL;
  sigaction(SIGCHLD, &byDefault, nullptr);
  veskar_posix::SetArguments(argc, argv);
  int exitCode = wWinMain(nullptr, nullptr, GetCommandLineW(), 0);
  veskar_posix::AwaitConsoleSignal();
  return exitCode;
}
