//===- launcher/shutdown.cpp - Stopping the child, removing the directory -===//
//
// Runs on the main thread after the child has ended, on the console
// control thread for every event it handles (possibly both at once), and on
// the main thread for a fatal ending after extraction has begun (which first
// stops the file writers, so that no file is open at the removal, unless a
// writer is stuck past its bounded wait). The removal is tried once and
// retried, up to 20 times 100 ms apart (10 during a close, log-off or
// shut-down event on Windows), while the directory is still there, and only
// ever for a directory this run owns. Every bound is in
// common/console_bounds.h.
//
//===----------------------------------------------------------------------===//
#include "diagnostics/fatal.h"
#include "launcher/console.h"
#include "launcher/hold.h"
#include "launcher/progress_window.h"
#include "launcher/state.h"
#include "payload/parallel.h"
#include "payload/writer.h"

namespace {

bool DirectoryStillThere(void) {
  DWORD attributes = GetFileAttributesW(state.unpackDirectory);
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Tried once and retried while the directory is still there: files of a
// child that has just ended may stay locked for a moment. The run's hold
// goes first: Windows does not remove a directory while a handle on it is
// open. The directory then looks ended to no sweep while this process
// lives (launcher/sweep.cpp asks the process first).
void RemoveUnpackDirectory(void) {
  if (!state.unpackDirectoryOwned)
    return;
  const ShutdownBounds &bounds = CurrentShutdownBounds();
  ReleaseUnpackDirectoryHold();
  RemoveDirectoryTree(state.unpackDirectory);
  for (unsigned retry = 0; retry < bounds.removalRetries;) {
    if (!DirectoryStillThere())
      break;
    Sleep(bounds.removalPauseMs);
    RemoveDirectoryTree(state.unpackDirectory);
    ++retry;
  }
  RemoveHoldLock(state.unpackDirectory);
}

} // namespace

void StopChildAndCleanUp(void) {
  // A child whose creation is under way is waited for, not missed.
  AwaitChildStarted();

  HANDLE child = TakeChildHandle();
  if (child != nullptr) {
    if (WaitForSingleObject(child, CurrentShutdownBounds().childGraceMs) !=
        WAIT_OBJECT_0)
      TerminateProcess(child, 0);
    CloseHandle(child);
  }

  if (!state.extractionStarted)
    return;
  // A console event during extraction: let the main thread stop writing
  // first, so nothing is written after the removal.
  AwaitExtractionParked();

  RemoveUnpackDirectory();
}

void CleanUpAfterFatalError(void) {
  CloseProgressWindow(); // before any error box
  // Windows deletes no open file: every file the writers or the decoder
  // threads hold is closed first. A file a stuck one still holds after the
  // bounded wait stays (on Windows), and the rest goes; a later start's sweep
  // takes it.
  StopWriters();
  StopParallelExtraction();
  RemoveUnpackDirectory();
}
