//===- launcher/shutdown.cpp - Stopping the child, removing the directory -===//
//
// Runs on the main thread after the child has ended, on the console
// control thread for every event it handles (possibly both at once), and on
// the main thread for a fatal ending after extraction has begun (which first
// stops the file writers, so that no file is open at the removal, unless a
// writer is stuck past its bounded wait). The removal is tried once and
// retried, up to 20 times 100 ms apart (10 during a close, log-off or
// shut-down event on Windows), while the directory is still there, and only
// ever for a directory this run owns: the one it made, known by its file
// id, not by its path. Every bound is in common/console_bounds.h.
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

// A directory that is nothing but a directory: no link, no junction.
bool IsPlainDirectory(const BY_HANDLE_FILE_INFORMATION &information) {
  return (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
         (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

// Removes the unpack directory if the directory at its path is still the
// one this run made; TRUE when nothing of that one is left there. Where its
// identity could not be read (it never fails for a directory just made and
// held), whatever directory is at the path goes, as it always did.
BOOL RemoveOwnDirectoryTree(void) {
  return RemoveDirectoryTree(state.unpackDirectory,
                             state.unpackDirectoryIdentified
                                 ? &state.unpackDirectoryIdentity
                                 : nullptr);
}

} // namespace

// Tried once and retried while the directory is still there: files of a
// child that has just ended may stay locked for a moment. A directory that
// is not this run's any more (moved away, and another one made at its
// path) ends the retries at once: the removal leaves it alone. The run's
// hold goes first: Windows does not remove a directory while a handle on it
// is open. The directory then looks ended to no sweep while this process
// lives (launcher/sweep.cpp asks the process first).
void RemoveUnpackDirectory(void) {
  if (!state.unpackDirectoryOwned)
    return;
  while (InterlockedExchange(&state.unpackRemovalBusy, 1) != 0)
    Sleep(10);
  const ShutdownBounds &bounds = CurrentShutdownBounds();
  ReleaseUnpackDirectoryHold();
  BOOL gone = RemoveOwnDirectoryTree();
  for (unsigned retry = 0; retry < bounds.removalRetries;) {
    if (!DirectoryStillThere() || gone)
      break;
    Sleep(bounds.removalPauseMs);
    gone = RemoveOwnDirectoryTree();
    ++retry;
  }
  RemoveHoldLock(state.unpackDirectory);
  InterlockedExchange(&state.unpackRemovalBusy, 0);
}

void RememberUnpackDirectory(HANDLE hold) {
  BY_HANDLE_FILE_INFORMATION information;
  bool read = hold != nullptr &&
              GetFileInformationByHandle(hold, &information) &&
              IsPlainDirectory(information);
  if (!read) {
    // A hold that is not a handle on the directory itself, or none.
    HANDLE query = CreateFileW(
        state.unpackDirectory, 0,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (query != INVALID_HANDLE_VALUE) {
      read = GetFileInformationByHandle(query, &information) &&
             IsPlainDirectory(information);
      CloseHandle(query);
    }
  }
  state.unpackDirectoryIdentified = read;
  if (read)
    state.unpackDirectoryIdentity = {information.dwVolumeSerialNumber,
                                     information.nFileIndexHigh,
                                     information.nFileIndexLow};
}

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
