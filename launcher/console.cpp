//===- launcher/console.cpp - The console-event protocol ----------------===//
//
// The system calls OnConsoleControl on a thread of its own (on Linux, the
// POSIX layer's signal thread). For the five events it handles, the handler
// marks the event as seen, stops the child and removes the unpack directory,
// and then leaves the ending to the system's default handling, which ends
// the process. Meanwhile the main thread may be anywhere in the launch
// sequence; the flags in state.console tell each side where the other is:
//
//   main thread                          console control thread
//   -----------                          ----------------------
//   BeginExtraction                      OnConsoleControl: eventSeen = 1
//     between chunks: when eventSeen,      StopChildAndCleanUp
//       PauseExtractionForConsoleEvent       AwaitChildStarted
//       stops the writer threads (every      (stop the child)
//       file closed, or the bounded wait     AwaitExtractionParked
//       over), then parks and
//       never writes again                   (remove the directory)
//   EndExtraction (the writers are done)
//   BeginChildStart / EndChildStart
//   SweepLeftovers (begins nothing new
//     once eventSeen)
//   (wait for the child)
//   StopChildAndCleanUp
//   AwaitConsoleEventEnding
//
// Once an event is seen, every wait of the main thread's is a wait for the
// process to end; each is bounded, so a handler that never ends it cannot
// keep the launcher alive for ever. The handler's own waits are on events
// the main thread signals, each with a deadline (common/console_bounds.h):
// a close, log-off or shut-down event gets only a few seconds before the
// system ends the process, and a poll of short sleeps could outlast them
// many times over where the system's timer is coarse.
//
// The child's handle: the main thread keeps the handle CreateProcessW gave
// it for itself and publishes a duplicate in state.childProcess. Whoever
// takes that out with TakeChildHandle closes it, so each handle is closed
// exactly once and never used after its close.
//
//===----------------------------------------------------------------------===//
#include "launcher/console.h"
#include "launcher/state.h"
#include "diagnostics/fatal.h"
#include "payload/parallel.h"
#include "payload/writer.h"

// The main thread stops the writers (PauseExtractionForConsoleEvent) within
// the time the handler waits for it to park, for every kind of event.
static_assert(kWriterStopWaitMs < kShutdownBounds.parkingWaitMs &&
                  kWriterStopWaitMs < kTimedEventShutdownBounds.parkingWaitMs,
              "the writers stop before the handler stops waiting");

BOOL WINAPI OnConsoleControl(DWORD controlType) {
  switch (controlType) {
  case CTRL_C_EVENT:
  case CTRL_BREAK_EVENT:
  case CTRL_CLOSE_EVENT:
  case CTRL_LOGOFF_EVENT:
  case CTRL_SHUTDOWN_EVENT:
    if (kCloseEventsHaveDeadline && controlType != CTRL_C_EVENT &&
        controlType != CTRL_BREAK_EVENT)
      InterlockedExchange(&state.console.timedEvent, 1);
    InterlockedExchange(&state.console.eventSeen, 1);
    StopChildAndCleanUp();
    return FALSE; // the system's default handling ends the process
  default:
    return FALSE;
  }
}

bool CreateConsoleEvents(void) {
  // Unnamed, so that no other process can open them; both signalled: no
  // start and no writing is under way yet.
  state.console.childStartOver = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  state.console.writingStopped = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  return state.console.childStartOver != nullptr &&
         state.console.writingStopped != nullptr;
}

void RegisterConsoleControl(void) {
  // The events are made before any console event can come, so that the
  // handler always finds them. Without them it could only miss the child
  // or remove a directory still being written, so the run ends here, as
  // when the handler cannot be registered.
  if (!CreateConsoleEvents() || !SetConsoleCtrlHandler(OnConsoleControl, TRUE))
    ReportFatal("Error, failed to register signal handler.");
}

const ShutdownBounds &CurrentShutdownBounds(void) {
  return state.console.timedEvent ? kTimedEventShutdownBounds : kShutdownBounds;
}

void BeginExtraction(void) {
  ResetEvent(state.console.writingStopped);
  // Marked before the flag that lets a console event remove the directory,
  // so that the event's handler waits for the main thread to stop writing.
  InterlockedExchange(&state.console.extracting, 1);
  // From here on, clean-up removes the directory.
  state.extractionStarted = true;
}

void EndExtraction(void) {
  InterlockedExchange(&state.console.extracting, 0);
  SetEvent(state.console.writingStopped);
}

bool ConsoleEventSeen(void) { return state.console.eventSeen != 0; }

namespace {

// The event's handling has had its time and the process still runs: the
// main thread ends it as the event would have. It never goes back to
// writing files (the one it wrote is closed, the directory removed) or to
// starting a child whose files are gone.
[[noreturn]] void EndAsTheEventWould(void) {
  ExitProcess(STATUS_CONTROL_C_EXIT);
}

} // namespace

void StopAsOnCtrlC(void) {
  OnConsoleControl(CTRL_C_EVENT);
  EndAsTheEventWould();
}

void PauseExtractionForConsoleEvent(void) {
  if (!state.console.eventSeen)
    return;
  // Parked means nothing open any more: the event's handler removes the
  // unpack directory next, which it cannot while a file in it is held open
  // without delete sharing.
  StopWriters();
  StopParallelExtraction();
  InterlockedExchange(&state.console.extractionParked, 1);
  SetEvent(state.console.writingStopped);
  AwaitConsoleEventEnding();
  EndAsTheEventWould();
}

void BeginChildStart(void) {
  // Reset before the flag is set: a handler that sees the flag finds the
  // event reset, and it is set again only once the flag is cleared.
  ResetEvent(state.console.childStartOver);
  InterlockedExchange(&state.console.childStarting, 1);
  if (state.console.eventSeen) {
    // The event's handler has removed, or is removing, the unpack
    // directory: there is nothing left to start.
    InterlockedExchange(&state.console.childStarting, 0);
    SetEvent(state.console.childStartOver);
    AwaitConsoleEventEnding();
    EndAsTheEventWould();
  }
}

void EndChildStart(HANDLE shared) {
  InterlockedExchangePointer((PVOID volatile *)&state.childProcess, shared);
  InterlockedExchange(&state.console.childStarting, 0);
  SetEvent(state.console.childStartOver);
}

HANDLE TakeChildHandle(void) {
  return InterlockedExchangePointer((PVOID volatile *)&state.childProcess,
                                    nullptr);
}

void AwaitConsoleEventEnding(void) {
  for (unsigned i = 0; i < kConsoleEndingWaitMs / kConsoleEndingPollMs &&
                       state.console.eventSeen;
       ++i)
    Sleep(kConsoleEndingPollMs);
}

// A wait that fails (no event could be given to it) or runs out lets the
// handler go on: a child whose start is still under way then ends with the
// launcher (its job, or its parent-death signal), and a removal that comes
// too early is retried.
void AwaitChildStarted(void) {
  if (state.console.childStarting)
    WaitForSingleObject(state.console.childStartOver,
                        CurrentShutdownBounds().childStartWaitMs);
}

void AwaitExtractionParked(void) {
  if (state.console.eventSeen && state.console.extracting &&
      !state.console.extractionParked)
    WaitForSingleObject(state.console.writingStopped,
                        CurrentShutdownBounds().parkingWaitMs);
}
