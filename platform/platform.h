//===- platform/platform.h - What the core may call ---------------------===//
//
// The core includes this header and nothing else of the system's. On
// Windows it is <windows.h> and <shlobj.h>; on Linux it is our own layer in
// platform/posix, which gives the same names over POSIX. The build picks
// one; the core never asks which.
//
// Besides the Win32 names, a few operations of our own live here because
// their implementation differs by platform (the removal of a directory tree,
// printing wide text, the program name as typed).
//
//===----------------------------------------------------------------------===//
#pragma once

#include <stdio.h>

#include "common/names.h"

// Facts of the platform that the core's policies depend on:
// - kFileSystemNameStyle, the file system's naming, which decides the
//   archive names this launcher can write (the rules live in common/names);
// - kTempIsPrivate: whether the folder TEMP names belongs to the user alone.
//   On Windows it does; on Linux TMPDIR is usually the shared /tmp, where
//   another user may plant a directory or a link at the unpack directory's
//   path before the launcher gets there.
// - kHoldsBesideDirectory: whether a run's hold on its directory (launcher/
//   hold.h) lies beside it, a lock on a file next to the directory. On
//   Windows any handle on the directory that could refuse a removal's proof
//   would also refuse the program's own opens of its folder; on Linux a
//   flock on the directory is seen by nobody but another flock.
#if defined(_WIN32)
#include <windows.h>
#include <shlobj.h>
#define VESKAR_WIDE_LITERAL(s) L##s
const NameStyle kFileSystemNameStyle = kWindowsNames;
const bool kTempIsPrivate = true;
const bool kCloseEventsHaveDeadline = true;
const WCHAR kPathSeparatorShown = L'\\';
const DWORD kOtherOwnerAttribute = 0;
const bool kHoldsBesideDirectory = true;
#else
#include "platform/posix/win32.h"
#define VESKAR_WIDE_LITERAL(s) u##s
const NameStyle kFileSystemNameStyle = kPosixNames;
const bool kTempIsPrivate = false;
const bool kCloseEventsHaveDeadline = false;
const WCHAR kPathSeparatorShown = u'/';
const DWORD kOtherOwnerAttribute = FILE_ATTRIBUTE_OTHER_OWNER;
const bool kHoldsBesideDirectory = false;
#endif
// A wide literal of `s`, which may itself be a macro naming a literal.
#define VESKAR_TEXT(s) VESKAR_WIDE_LITERAL(s)

// Ends the process at once, with no exit processing and no message box: a
// failed template expansion and an overflowing append end here. Windows: a
// fail-fast with FAST_FAIL_FATAL_APP_EXIT where the processor supports it,
// and exit code 3 otherwise (the C runtime's abort() would show a dialog
// in a GUI process and wait for a click). POSIX: abort().
[[noreturn]] void AbortProcess(void);

// Element 0 of the process's wide argument vector: the program name as the
// starting process wrote it.
const WCHAR *GetProgramNameW(void);

// Writes `format` to `stream` in one call, with `text` in place of its one
// "%ls" conversion, keeping every character of `text`: a Windows console
// gets UTF-16, any other stream UTF-8. `format` is ASCII, and holds no
// conversion but that one and "%%".
void PrintWithWideText(FILE *stream, const char *format, const WCHAR *text);

// What a file is, whatever names it has: its volume and its file id, as
// GetFileInformationByHandle gives them (on POSIX the device and the inode).
struct FileIdentity {
  DWORD volume;
  DWORD indexHigh;
  DWORD indexLow;
};

// Removes the directory tree at `path`, depth first, and never following a
// symbolic link or junction: a link inside the tree is removed as a link
// and its target is untouched. It stays on the tree's own mount (POSIX):
// another file system, or a bind mount of the same one, inside the tree is
// left whole. It changes nothing it does not delete (Windows): a read-only
// flag is cleared only to delete a name, and set back where the file keeps
// other names or the name would not go. A tree of any depth takes the same
// stack and, on POSIX, at most two descriptors; what will not go is passed
// over and the rest still goes. With `expected`, only the directory that
// is that file is removed: anything else at `path` (another directory, a
// link) is left alone. Returns TRUE when nothing of the directory is left
// at `path`.
BOOL RemoveDirectoryTree(LPCWSTR path, const FileIdentity *expected = nullptr);

// How many more files the process may have open at once: on POSIX the soft
// limit of descriptors (RLIMIT_NOFILE) less the descriptors open now, 0
// when none are left; MAXDWORD where there is no such limit (Windows, whose
// handles are bounded by memory alone, or an unlimited or very large soft
// limit). A reader that opens many files at once keeps within a share of
// it, so that the rest of the process, and the program it starts, still
// find descriptors.
DWORD GetFileHandleRoom(void);

// What the file system holding the open `file`, found at `path`, says it
// is: its name as the system gives it into `name` (`capacity` units, at
// least 16): on Windows the volume's file system ("NTFS", "FAT32"), on
// Linux the type statfs reports, as "0x" and lower-case hex digits
// ("0xef53"); and in `*remote` whether the volume is another machine's (a
// network drive on Windows; FALSE on Linux, where the type tells). FALSE
// when the system does not say. What follows from the answer is the core's
// to decide.
BOOL GetFileSystemKind(HANDLE file, LPCWSTR path, WCHAR *name, DWORD capacity,
                       BOOL *remote);

// The progress window and the error box. The core decides whether and when
// one is shown (launcher/progress_window.cpp, diagnostics/error_box.cpp); the
// platform draws it. On Windows everything they need (USER32, COMCTL32,
// GDI32) is loaded only here, when one is shown, so that the image imports
// nothing for them; elsewhere nothing can be shown.

// What the progress window shows, and how the launcher closes it.
struct ProgressWindowView {
  // The product name: the window's title and its text.
  const WCHAR *title;
  // Bytes of the payload's files written so far, against all of them
  // (total 0: not known, and the bar moves without a measure). Written by
  // the main thread, read by the window's.
  const volatile LONG64 *done;
  ULONGLONG total;
  // Set by EndProgressWindow, never cleared: the window closes, or is never
  // made.
  volatile LONG ended;
  // The window once it exists, published by its thread; for
  // EndProgressWindow.
  void *volatile window;
};

enum ProgressWindowEnding {
  // Nothing could be shown (no desktop, no display, a library missing).
  kProgressWindowUnavailable,
  // Closed by EndProgressWindow.
  kProgressWindowClosed,
  // The user pressed Cancel or closed the window.
  kProgressWindowCancelled,
};

// Makes the progress window and runs its messages on the calling thread
// until EndProgressWindow or the user closes it. Holds no file open.
ProgressWindowEnding RunProgressWindow(ProgressWindowView *view);

// From any thread: the window closes (or, not made yet, is never shown).
// Never waits for the window's thread.
void EndProgressWindow(ProgressWindowView *view);

// Whether a window can be seen by anyone: a desktop of an interactive
// window station (not a service's), with USER32 at hand.
BOOL DesktopIsInteractive(void);

// Shows `text` in a message box with an error icon, titled `title`, that
// closes itself after `timeoutMs` if nobody closes it. Returns once it is
// closed; FALSE when none could be shown.
BOOL ShowErrorBox(const WCHAR *title, const WCHAR *text, DWORD timeoutMs);
