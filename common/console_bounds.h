//===- common/console_bounds.h - How long the console waits may last ----===//
//
// Plain constants, nothing else: the launcher's console-event protocol
// (launcher/console.cpp), the shutdown (launcher/shutdown.cpp), the child's
// start (launcher/child.cpp) and the POSIX layer's wait for a pending
// console signal (platform/posix/process.cpp) all take their bounds from
// here, so that the waits cannot drift apart or out of their budget.
//
//===----------------------------------------------------------------------===//
#pragma once

// How long the launcher, done with its own work, leaves a console event's
// handling to end the process before it ends by itself after all.
const unsigned kConsoleEndingWaitMs = 30000;
// How often the core looks whether that handling is still going on.
const unsigned kConsoleEndingPollMs = 100;

// A start of the child that the system refuses because the program is still
// held (an anti-virus scanner looking at the file just written) is tried
// again up to this many times, this far apart. No start is under way
// during the pauses, so they hold up no console event.
const unsigned kChildStartRetries = 10;
const unsigned kChildStartRetryPauseMs = 50;

// What StopChildAndCleanUp may spend, one step after the other:
struct ShutdownBounds {
  // waiting for a start of the child that is under way to be over;
  unsigned childStartWaitMs;
  // waiting for the child to end before it is ended;
  unsigned childGraceMs;
  // during a console event, waiting for the main thread to stop writing;
  unsigned parkingWaitMs;
  // the removal of the unpack directory, tried once and then retried this
  // many times, this far apart, while the directory is still there.
  unsigned removalRetries;
  unsigned removalPauseMs;
};

// The end of a run, a fatal ending, Ctrl+C and Ctrl+Break: nothing ends
// the process meanwhile, so the child gets its full 5 s. (On Linux every
// console signal is such an event: nothing ends the launcher after a
// SIGHUP or a SIGTERM either.)
constexpr ShutdownBounds kShutdownBounds = {5000, 5000, 2000, 20, 100};

// Windows ends a process about 5 s after it has sent it a close, log-off
// or shut-down event. For those, every step together must fit, with room
// left for the removal requests themselves: the child's start (one
// attempt), 2 s for the child, which got the same event and may save its
// work, 1 s for the writing to stop, and ten retries of the removal.
// (The main thread writes, or starts the child, or runs it: so the parking
// and the child's steps never both take their time, and the real worst case
// is 3.5 s.)
const unsigned kTimedEventLimitMs = 5000;
constexpr ShutdownBounds kTimedEventShutdownBounds = {500, 2000, 1000, 10, 100};
static_assert(kTimedEventShutdownBounds.childStartWaitMs +
                      kTimedEventShutdownBounds.childGraceMs +
                      kTimedEventShutdownBounds.parkingWaitMs +
                      kTimedEventShutdownBounds.removalRetries *
                          kTimedEventShutdownBounds.removalPauseMs <
                  kTimedEventLimitMs,
              "a close, log-off or shut-down event's handling fits in the "
              "time the system gives it");
