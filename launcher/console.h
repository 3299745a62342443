//===- launcher/console.h - The console-event protocol ------------------===//
//
// A console event (Ctrl+C, Ctrl+Break, close, log-off, shut-down) is handled
// on a thread of its own while the main thread goes on with the launch
// sequence. These are the only operations on state.console; each names one
// step of one side. Which thread calls what is in launcher/console.cpp.
//
//===----------------------------------------------------------------------===//
#pragma once

#include "launcher/console_bounds.h"
#include "launcher/state.h"

// The console control handler, registered with SetConsoleCtrlHandler.
BOOL WINAPI OnConsoleControl(DWORD controlType);

// A stop asked for elsewhere than on the console (the progress window's
// Cancel): handled on the calling thread as OnConsoleControl handles a
// Ctrl+C, then the process ends as the system ends it after one
// (STATUS_CONTROL_C_EXIT).
[[noreturn]] void StopAsOnCtrlC(void);

// The launch sequence, once: makes the events the protocol waits on
// (CreateConsoleEvents), then registers OnConsoleControl. When either
// fails, ends the run with "Error, failed to register signal handler."
// (nothing is written yet then).
void RegisterConsoleControl(void);
bool CreateConsoleEvents(void);

// What StopChildAndCleanUp may spend: the tighter bounds once an event
// with a deadline (close, log-off, shut-down on Windows) is being handled.
const ShutdownBounds &CurrentShutdownBounds(void);

// The main thread, around writing the archive's files.
void BeginExtraction(void);
void EndExtraction(void);
// Whether a console event is being handled.
bool ConsoleEventSeen(void);
// Called between chunks: while a console event is handled, stops writing
// for good (the file writers close every file they hold, then end) and
// leaves the event's handling the time to end the process; when that time
// runs out, ends it as the event would (STATUS_CONTROL_C_EXIT).
void PauseExtractionForConsoleEvent(void);

// The main thread, around creating the child. BeginChildStart first leaves
// an event that is already being handled the time to end the process, and
// then ends it as the event would.
// EndChildStart publishes the shared handle (null when there is none) and
// only then lets a waiting event go on.
void BeginChildStart(void);
void EndChildStart(HANDLE shared);
// Takes the shared child handle out (null when none, or when the other
// thread took it first); the caller closes what it got.
HANDLE TakeChildHandle(void);

// The main thread, done with its own work: leaves a console event that is
// being handled the time (bounded) to end the process, so that its ending
// wins over the main thread's.
void AwaitConsoleEventEnding(void);

// StopChildAndCleanUp, on either thread: waits until a child's start is
// over, and, during a console event, until the main thread has stopped
// writing. Each waits on its event, up to its bound in
// CurrentShutdownBounds, and returns at once when nothing is under way.
void AwaitChildStarted(void);
void AwaitExtractionParked(void);
