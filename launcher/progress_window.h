//===- launcher/progress_window.h - The progress of a slow unpacking ----===//
//
// An option of a package (buildValues.launcherOptions), off by default.
// Without it the launcher shows nothing, makes no thread for it and asks
// the platform for nothing: a start is what it always was.
//
// On a start that unpacks for longer than kProgressWindowDelayMs, a window
// on a thread of its own shows the product name and the bytes written
// against all of them, until the child has started. Its Cancel is a
// Ctrl+C. What the platform draws is platform.h's; the decisions are here.
// (The other option, the error box, is diagnostics/error_box.h's.)
//
//===----------------------------------------------------------------------===//
#pragma once

#include "platform/platform.h"

// An unpacking still going after this long shows the progress window.
const ULONGLONG kProgressWindowDelayMs = 700;

struct ProgressWindowState {
  // Bytes of the payload's files handed to the writers. Added to by the
  // main thread alone, read by the window's thread.
  volatile LONG64 bytesWritten;
  // When the first bytes were handed over (GetTickCount64), with the
  // progress window on; 0 before.
  ULONGLONG unpackingSince;
  // The window's thread has been made (or could not be): never again.
  bool windowAsked;
  // The child has started, or the run ends: no window from now on.
  bool windowClosed;
  ProgressWindowView view;
};

// The main thread, for each chunk of a file it hands to the writers
// (launcher/unpack.cpp's WriteRecord): counts it, and once an unpacking
// with the progress window on has gone on for kProgressWindowDelayMs, makes
// the window's thread. Never waits for that thread.
void NoteBytesUnpacked(DWORD count);

// The child has started, or the run is ending (a fatal ending's clean-up,
// before any error box): the window goes, and none is made later. Never
// waits for the window's thread.
void CloseProgressWindow(void);
