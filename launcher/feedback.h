//===- launcher/feedback.h - The progress window and the error box ------===//
//
// Two options of a package (buildValues.launcherOptions), off by default.
// Without them the launcher shows nothing, makes no thread for them and
// asks the platform for nothing: a start is what it always was.
//
// - The progress window (launcher/progress_window.cpp): on a start that
//   unpacks for longer than kProgressWindowDelayMs, a window on a thread of
//   its own shows the product name and the bytes written against all of
//   them, until the child has started. Its Cancel is a Ctrl+C.
// - The error box (launcher/error_box.cpp): a fatal ending whose line
//   nobody can read (no standard output or error: started from the
//   desktop, or with the handle closed) shows the line in a message box,
//   on an interactive desktop only, for kErrorBoxTimeoutMs at most.
//
// What the platform draws is platform.h's; the decisions are here.
//
//===----------------------------------------------------------------------===//
#pragma once

#include "platform/platform.h"

// An unpacking still going after this long shows the progress window.
const ULONGLONG kProgressWindowDelayMs = 700;
// The error box closes itself after this long, so that a start nobody
// watches still ends.
const DWORD kErrorBoxTimeoutMs = 60000;

enum {
  // The longest fatal line the error box shows whole, in units with the
  // terminator; a longer one ends in "...".
  kFatalLineCapacity = 2048,
};

struct FeedbackState {
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

  // The line of the fatal ending under way, as it was written, and the
  // standard handle it went to (STD_OUTPUT_HANDLE or STD_ERROR_HANDLE);
  // 0 while there is none.
  DWORD fatalStream;
  WCHAR fatalLine[kFatalLineCapacity];
};

// The main thread, for each chunk of a file it hands to the writers
// (payload/extract.cpp): counts it, and once an unpacking with the progress
// window on has gone on for kProgressWindowDelayMs, makes the window's
// thread. Never waits for that thread.
void NoteBytesUnpacked(DWORD count);

// The child has started, or the run is ending: the window goes, and none
// is made later. Never waits for the window's thread.
void CloseProgressWindow(void);

// diagnostics/fatal.cpp, for the one line a fatal ending writes to the
// standard handle `which`: `format`, with "%ls" as `text` and "%%" as "%",
// without its line feed. Kept for ShowFatalLineInBox.
void KeepFatalLine(DWORD which, const char *format, const WCHAR *text);

// A fatal ending, once its clean-up is done: with the error box on, a line
// kept that nobody can read where it went, and an interactive desktop,
// shows the line in the box and returns when it is closed. Does nothing
// otherwise.
void ShowFatalLineInBox(void);
