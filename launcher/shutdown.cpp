//===- launcher/shutdown.cpp - Stopping the child, removing the directory -===//
//
// Runs on the main thread after the child has ended, on the console
// control thread for every event it handles (possibly both at once), and on
// the main thread for a fatal ending after extraction has begun (which first
// stops the file writers, so that no file is open at the removal). The
// removal is tried once and retried up to 20 times, 100 ms apart, while the
// directory is still there, and only ever for a directory this run owns.
//
//===----------------------------------------------------------------------===//
#include "launcher/console.h"
#include "launcher/hold.h"
#include "launcher/state.h"
#include "payload/writer.h"

namespace {

const DWORD kChildGraceMs = 5000;
const int kRemovalRetries = 20;
const DWORD kRemovalPauseMs = 100;

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
  ReleaseHold(&state.unpackDirectoryHold);
  RemoveDirectoryTree(state.unpackDirectory);
  for (int retry = 0; retry < kRemovalRetries;) {
    if (!DirectoryStillThere())
      return;
    Sleep(kRemovalPauseMs);
    RemoveDirectoryTree(state.unpackDirectory);
    ++retry;
  }
}

} // namespace

void StopChildAndCleanUp(void) {
  // A child whose creation is under way is waited for, not missed.
  AwaitChildStarted();

  HANDLE child = TakeChildHandle();
  if (child != nullptr) {
    if (WaitForSingleObject(child, kChildGraceMs) != WAIT_OBJECT_0)
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
  // Windows deletes no open file: every file the writers hold is closed
  // first.
  StopWriters();
  RemoveUnpackDirectory();
}
