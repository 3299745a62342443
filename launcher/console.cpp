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
// keep the launcher alive for ever.
//
// The child's handle: the main thread keeps the handle CreateProcessW gave
// it for itself and publishes a duplicate in state.childProcess. Whoever
// takes that out with TakeChildHandle closes it, so each handle is closed
// exactly once and never used after its close.
//
//===----------------------------------------------------------------------===//
#include "launcher/console.h"
#include "launcher/console_bounds.h"
#include "payload/writer.h"

// The main thread stops the writers (PauseExtractionForConsoleEvent) within
// the time the handler waits for it to park.
static_assert(kWriterStopWaitMs < kExtractionParkingWaitMs,
              "the writers stop before the handler stops waiting");

BOOL WINAPI OnConsoleControl(DWORD controlType) {
  switch (controlType) {
  case CTRL_C_EVENT:
  case CTRL_BREAK_EVENT:
  case CTRL_CLOSE_EVENT:
  case CTRL_LOGOFF_EVENT:
  case CTRL_SHUTDOWN_EVENT:
    InterlockedExchange(&state.console.eventSeen, 1);
    StopChildAndCleanUp();
    return FALSE; // the system's default handling ends the process
  default:
    return FALSE;
  }
}

void BeginExtraction(void) {
  // Marked before the flag that lets a console event remove the directory,
  // so that the event's handler waits for the main thread to stop writing.
  InterlockedExchange(&state.console.extracting, 1);
  // From here on, clean-up removes the directory.
  state.extractionStarted = true;
}

void EndExtraction(void) { InterlockedExchange(&state.console.extracting, 0); }

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

void PauseExtractionForConsoleEvent(void) {
  if (!state.console.eventSeen)
    return;
  // Parked means nothing open any more: the event's handler removes the
  // unpack directory next, which it cannot while a file in it is held open
  // without delete sharing.
  StopWriters();
  InterlockedExchange(&state.console.extractionParked, 1);
  AwaitConsoleEventEnding();
  EndAsTheEventWould();
}

void BeginChildStart(void) {
  InterlockedExchange(&state.console.childStarting, 1);
  if (state.console.eventSeen) {
    // The event's handler has removed, or is removing, the unpack
    // directory: there is nothing left to start.
    InterlockedExchange(&state.console.childStarting, 0);
    AwaitConsoleEventEnding();
    EndAsTheEventWould();
  }
}

void EndChildStart(HANDLE shared) {
  InterlockedExchangePointer((PVOID volatile *)&state.childProcess, shared);
  InterlockedExchange(&state.console.childStarting, 0);
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

void AwaitChildStarted(void) {
  while (state.console.childStarting)
    Sleep(kConsolePollMs);
}

void AwaitExtractionParked(void) {
  for (unsigned i = 0; i < kExtractionParkingWaitMs / kConsolePollMs &&
                       state.console.eventSeen && state.console.extracting &&
                       !state.console.extractionParked;
       ++i)
    Sleep(kConsolePollMs);
}
