//===- diagnostics/error_box.h - A fatal line nobody could read ---------===//
//
// An option of a package (buildValues.launcherOptions), off by default: a
// fatal ending whose line nobody can read (no standard output or error:
// started from the desktop, or with the handle closed) shows the line in a
// message box, on an interactive desktop only, for kErrorBoxTimeoutMs at
// most. diagnostics/fatal.cpp keeps each line and shows the box once the
// ending's clean-up is done.
//
//===----------------------------------------------------------------------===//
#pragma once

#include "platform/platform.h"

// The error box closes itself after this long, so that a start nobody
// watches still ends.
const DWORD kErrorBoxTimeoutMs = 60000;

enum {
  // The longest fatal line the error box shows whole, in units with the
  // terminator; a longer one ends in "...".
  kFatalLineCapacity = 2048,
};

struct ErrorBoxState {
  // The line of the fatal ending under way, as it was written, and the
  // standard handle it went to (STD_OUTPUT_HANDLE or STD_ERROR_HANDLE);
  // 0 while there is none.
  DWORD fatalStream;
  WCHAR fatalLine[kFatalLineCapacity];
};

// For the one line a fatal ending writes to the standard handle `which`:
// `format`, with "%ls" as `text` and "%%" as "%", without its line feed.
// Kept for ShowFatalLineInBox; nothing is kept without the option.
void KeepFatalLine(DWORD which, const char *format, const WCHAR *text);

// A fatal ending, once its clean-up is done: with the error box on, a line
// kept that nobody can read where it went, and an interactive desktop,
// shows the line in the box and returns when it is closed. Does nothing
// otherwise.
void ShowFatalLineInBox(void);
