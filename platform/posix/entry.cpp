//===- platform/posix/entry.cpp - The process entry on Linux ------------===//
//
// Before anything else, the signals the launcher could raise on itself
// while it writes are ignored, so that each such write fails with an error
// and takes the launcher's ordinary path (its one line, status 2, what it
// wrote removed) instead of killing it silently half-way:
//   SIGXFSZ  a file grows past the size limit (ulimit -f): the write fails
//            with EFBIG and the message names the file;
//   SIGPIPE  a message written to a pipe nobody reads any more: the write
//            fails with EPIPE, and the status stays 2, not 141.
// Considered and left at their defaults: SIGXCPU (a CPU-time limit is
// meant to end the process, and the hard limit's SIGKILL would follow
// anyway), SIGBUS and SIGSEGV (a fault: nothing safe is left to do),
// SIGTTOU (stops a background launcher writing to its terminal, which a
// SIGCONT resumes; it never ends it), SIGALRM (the launcher sets no alarm).
// The child gets the default action of each ignored signal back
// (CreateProcessW, platform/posix/process.cpp).
//
//===----------------------------------------------------------------------===//
#include <signal.h>
#include <string.h>

#include "platform/posix/internal.h"

int main(int argc, char **argv) {
  struct sigaction ignore;
  memset(&ignore, 0, sizeof ignore);
  ignore.sa_handler = SIG_IGN;
  for (int s : veskar_posix::kSelfRaisedSignals)
    sigaction(s, &ignore, nullptr);
  veskar_posix::SetArguments(argc, argv);
  int exitCode = wWinMain(nullptr, nullptr, GetCommandLineW(), 0);
  veskar_posix::AwaitConsoleSignal();
  return exitCode;
}
